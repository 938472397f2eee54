// SPDX-License-Identifier: MIT
// journal-sim: plays one instrument, or a site of several on one line, on a new pseudo-terminal
// (or a given serial device, or a TCP port) until it is interrupted. The first line of its output
// is the device path or the network endpoint a Modbus master opens.
#include "sim/simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <optional>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) {
    g_stop = 1;
}

int fail(const QString& message) {
    std::fprintf(stderr, "journal-sim: %s\n", qPrintable(message));
    return 2;
}

std::nullopt_t refuse(QString* error, const QString& why) {
    *error = why;
    return std::nullopt;
}

bool rejected(QString* error, const QString& why) {
    *error = why;
    return false;
}

// The command line.
struct Options {
    QCommandLineOption content{{"c", "content"},
                               "Instrument content file; repeat it for a site of several "
                               "instruments on one line, each at the address its file names.",
                               "file"};
    QCommandLineOption address{"address",
                               "Server address (1..247); a list (1-4 or 1,3,5) makes a site of "
                               "copies of the instrument at those addresses.",
                               "n"};
    QCommandLineOption synthetic{"synthetic", "Add a journal of n synthetic records.", "n"};
    QCommandLineOption journal{"journal", "Archive number of --synthetic (1).", "n", "1"};
    QCommandLineOption layout{"layout", "Layout of --synthetic (tdPlain).", "name", "tdPlain"};
    QCommandLineOption countReg{"count-register",
                                "Register (300001.. or 400001..) set to the synthetic record "
                                "count.",
                                "ref"};
    QCommandLineOption device{"device",
                              "Serve this serial device instead of a new pseudo-terminal.", "path"};
    QCommandLineOption baud{"baud", "Baud rate (19200).", "n", "19200"};
    QCommandLineOption pace{"pace", "Send bytes at the baud rate (pseudo-terminal only)."};
    QCommandLineOption fault{"fault",
                             "Add a fault, e.g. \"crc record=1:5 times=1\"; in a site, "
                             "\"unit=A ...\" adds it to the instrument at address A only.",
                             "spec"};
    QCommandLineOption com{"com", "Also print JOURNAL_PORTS=COMn=<path>.", "n"};
    QCommandLineOption echo{"echo", "Send every request back to the reader, as a two-wire RS-485 "
                                    "adapter with echo on (pseudo-terminal only)."};
    QCommandLineOption speedCheck{"speed-check",
                                  "Garble the bytes when the reader's speed differs from --baud, "
                                  "as a real line would (pseudo-terminal only)."};
    QCommandLineOption tcp{"tcp", "Serve Modbus TCP on this port (0: any free port).", "port"};
    QCommandLineOption rtuTcp{"rtu-tcp",
                              "Serve RTU frames over TCP on this port (0: any free port).", "port"};
    QCommandLineOption listen{"listen", "Address --tcp and --rtu-tcp listen on (127.0.0.1).",
                              "addr", "127.0.0.1"};
    QCommandLineOption latency{"latency",
                               "Delay each packet on the network by this many milliseconds in "
                               "each direction (on a serial line: each answer).",
                               "ms", "0"};
    QCommandLineOption gateway{"gateway",
                               "Serve --tcp through a gateway to a serial line paced at --baud: "
                               "queue, single or close.",
                               "model"};

    void addTo(QCommandLineParser& p) const {
        p.addOptions({content, address, synthetic, journal, layout, countReg, device, baud, pace,
                      fault, com, echo, speedCheck, tcp, rtuTcp, listen, latency, gateway});
    }
};

// Adds the --synthetic journal the options ask for; false when they are bad.
bool addSynthetic(sim::Instrument& inst, const QCommandLineParser& p, const Options& o) {
    bool ok = false;
    const int n = p.value(o.synthetic).toInt(&ok);
    const auto lay = sim::layoutFromName(p.value(o.layout));
    if (!ok || n < 0 || n > 65536 || !lay)
        return false;
    sim::Journal& j = inst.addJournal(p.value(o.journal).toInt(), *lay);
    sim::Instrument::addSynthetic(j, n);
    return true;
}

// The addresses of --address: "5", "1-4" or "1,3,5", each 1..247, none twice.
std::optional<QList<int>> addressList(const QString& text) {
    QList<int> addresses;
    for (const QString& item : text.split(u',')) {
        const QStringList range = item.split(u'-');
        bool firstOk = false, lastOk = false;
        const int first = range.value(0).trimmed().toInt(&firstOk);
        const int last = range.size() == 2 ? range[1].trimmed().toInt(&lastOk) : first;
        if (range.size() > 2 || !firstOk || (range.size() == 2 && !lastOk) || first < 1 ||
            last > 247 || first > last)
            return std::nullopt;
        for (int a = first; a <= last; ++a) {
            if (addresses.contains(a))
                return std::nullopt;
            addresses << a;
        }
    }
    return addresses;
}

// The instruments of the --content files (one instrument without any), at the addresses
// --address gives.
std::optional<QList<sim::Instrument>> contentInstruments(const QCommandLineParser& p,
                                                         const Options& o, QString* error) {
    QList<sim::Instrument> site;
    for (const QString& file : p.values(o.content)) {
        auto loaded = sim::Instrument::fromFile(file, error);
        if (!loaded)
            return std::nullopt;
        site << *loaded;
    }
    if (site.isEmpty())
        site << sim::Instrument();
    if (!p.isSet(o.address))
        return site;
    const auto addresses = addressList(p.value(o.address));
    if (!addresses)
        return refuse(error, QStringLiteral("--address must be 1..247, or a list such as 1-4 or "
                                            "1,3,5 without repeats"));
    if (site.size() > 1)
        return refuse(error, QStringLiteral("--address goes with one --content only: the files "
                                            "of a site name their addresses"));
    const sim::Instrument model = site.front();
    site.clear();
    for (const int a : *addresses) {
        site << model;
        site.back().address = a;
    }
    return site;
}

// Adds a --fault to the site: to every instrument, or with "unit=A" to the one at address A.
bool addFault(QList<sim::Instrument>& site, const QString& spec, QString* error) {
    QStringList words = spec.split(u' ', Qt::SkipEmptyParts);
    int unit = 0;
    for (qsizetype i = 0; i < words.size(); ++i)
        if (words[i].startsWith(QStringLiteral("unit="))) {
            bool ok = false;
            unit = words.takeAt(i).mid(5).toInt(&ok);
            if (!ok || unit < 1 || unit > 247)
                return rejected(error,
                                QStringLiteral("--fault \"%1\": unit must be 1..247").arg(spec));
            break;
        }
    const auto f = sim::parseFault(words.join(u' '), error);
    if (!f)
        return rejected(error, QStringLiteral("--fault \"%1\": %2").arg(spec, *error));
    bool added = false;
    for (sim::Instrument& inst : site)
        if (unit == 0 || inst.address == unit) {
            inst.faults.append(*f);
            added = true;
        }
    return added || rejected(error, QStringLiteral("--fault \"%1\": no instrument at address %2")
                                        .arg(spec, QString::number(unit)));
}

// The instruments the options describe; nothing, and why, when they describe none.
std::optional<QList<sim::Instrument>> instrumentsFrom(const QCommandLineParser& p, const Options& o,
                                                      QString* error) {
    auto site = contentInstruments(p, o, error);
    if (!site)
        return std::nullopt;
    for (qsizetype i = 0; i < site->size(); ++i)
        for (qsizetype k = 0; k < i; ++k)
            if ((*site)[k].address == (*site)[i].address)
                return refuse(error, QStringLiteral("two instruments of the site at address %1")
                                         .arg((*site)[i].address));
    for (sim::Instrument& inst : *site) {
        if (!p.isSet(o.synthetic))
            break;
        if (!addSynthetic(inst, p, o))
            return refuse(error, QStringLiteral("bad --synthetic, --journal or --layout"));
        const int records = int(inst.journal(p.value(o.journal).toInt())->records.size());
        if (p.isSet(o.countReg) && !inst.setRegister(p.value(o.countReg).toInt(), quint16(records)))
            return refuse(error, QStringLiteral("bad --count-register"));
    }
    for (const QString& spec : p.values(o.fault))
        if (!addFault(*site, spec, error))
            return std::nullopt;
    return site;
}

// Starts the simulator where the options say: a TCP port, a serial device or a new pty.
bool startSimulator(sim::Simulator& simulator, const QCommandLineParser& p, const Options& o,
                    int rate, QString* error) {
    bool latencyOk = false;
    const int delay = p.value(o.latency).toInt(&latencyOk);
    if (!latencyOk || delay < 0 || delay > 60000)
        return rejected(error, QStringLiteral("bad --latency"));
    if (int(p.isSet(o.tcp)) + int(p.isSet(o.rtuTcp)) + int(p.isSet(o.device)) > 1)
        return rejected(error, QStringLiteral("give only one of --device, --tcp and --rtu-tcp"));
    if (p.isSet(o.gateway)) {
        const auto model = sim::gatewayFromName(p.value(o.gateway));
        if (!model)
            return rejected(error, QStringLiteral("bad --gateway: queue, single or close"));
        if (!p.isSet(o.tcp))
            return rejected(error, QStringLiteral("--gateway needs --tcp"));
        simulator.setGateway(*model);
    }
    simulator.setBaudRate(rate);
    simulator.setPacing(p.isSet(o.pace) ? rate : 0);
    simulator.setLatency(delay);
    if (!p.isSet(o.tcp) && !p.isSet(o.rtuTcp))
        return p.isSet(o.device) ? simulator.startOnDevice(p.value(o.device), rate, error)
                                 : simulator.start(error);
    const QHostAddress where(p.value(o.listen));
    bool portOk = false;
    const uint port = p.value(p.isSet(o.tcp) ? o.tcp : o.rtuTcp).toUInt(&portOk);
    if (where.isNull())
        return rejected(error, QStringLiteral("bad --listen: an IPv4 or IPv6 address is needed"));
    if (!portOk || port > 65535)
        return rejected(error, QStringLiteral("bad --tcp or --rtu-tcp port"));
    using Framing = platform::NetworkEndpoint::Framing;
    return simulator.startNetwork(p.isSet(o.tcp) ? Framing::ModbusTcp : Framing::RtuOverTcp, where,
                                  quint16(port), error);
}

// Serves until SIGINT or SIGTERM.
int serveUntilInterrupted(QCoreApplication& app) {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [] {
        if (g_stop)
            QCoreApplication::quit();
    });
    poll.start(50);
    return app.exec();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("journal-sim"));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Simulated journal instrument (Modbus RTU server). Prints the device path to use, "
        "then serves until interrupted."));
    p.addHelpOption();
    const Options o;
    o.addTo(p);
    p.process(app);

    QString error;
    const auto site = instrumentsFrom(p, o, &error);
    if (!site)
        return fail(error);
    const int rate = p.value(o.baud).toInt();
    if (rate <= 0)
        return fail(QStringLiteral("bad --baud"));

    sim::Simulator simulator(*site);
    if (!startSimulator(simulator, p, o, rate, &error))
        return fail(error);
    if (sim::PtyLink* link = simulator.link()) {
        link->setEcho(p.isSet(o.echo));
        link->setLineSpeed(p.isSet(o.speedCheck) ? rate : 0);
    }

    std::printf("%s\n", qPrintable(simulator.clientPath()));
    if (p.isSet(o.com))
        std::printf("JOURNAL_PORTS=COM%d=%s\n", p.value(o.com).toInt(),
                    qPrintable(simulator.clientPath()));
    std::fflush(stdout);

    const int rc = serveUntilInterrupted(app);
    simulator.stop();
    return rc;
}
