// journal-sim: plays one instrument on a new pseudo-terminal (or a given serial device) until
// it is interrupted. The first line of its output is the device path a Modbus master opens.
#include "sim/simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) {
    g_stop = 1;
}

int fail(const QString& message) {
    std::fprintf(stderr, "journal-sim: %s\n", qPrintable(message));
    return 2;
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
    const QCommandLineOption content({"c", "content"}, "Instrument content file.", "file");
    const QCommandLineOption address("address", "Server address (1..247).", "n");
    const QCommandLineOption synthetic("synthetic", "Add a journal of n synthetic records.", "n");
    const QCommandLineOption journal("journal", "Archive number of --synthetic (1).", "n", "1");
    const QCommandLineOption layout("layout", "Layout of --synthetic (tdPlain).", "name",
                                    "tdPlain");
    const QCommandLineOption countReg("count-register",
                                      "Register (300001.. or 400001..) set to the synthetic "
                                      "record count.",
                                      "ref");
    const QCommandLineOption device("device",
                                    "Serve this serial device instead of a new "
                                    "pseudo-terminal.",
                                    "path");
    const QCommandLineOption baud("baud", "Baud rate (19200).", "n", "19200");
    const QCommandLineOption pace("pace", "Send bytes at the baud rate (pseudo-terminal only).");
    const QCommandLineOption fault("fault", "Add a fault, e.g. \"crc record=1:5 times=1\".",
                                   "spec");
    const QCommandLineOption com("com", "Also print JOURNAL_PORTS=COMn=<path>.", "n");
    const QCommandLineOption echo("echo", "Send every request back to the reader, as a two-wire "
                                          "RS-485 adapter with echo on (pseudo-terminal only).");
    const QCommandLineOption speedCheck(
        "speed-check", "Garble the bytes when the reader's speed differs from --baud, as a real "
                       "line would (pseudo-terminal only).");
    p.addOptions({content, address, synthetic, journal, layout, countReg, device, baud, pace, fault,
                  com, echo, speedCheck});
    p.process(app);

    sim::Instrument inst;
    QString error;
    if (p.isSet(content)) {
        auto loaded = sim::Instrument::fromFile(p.value(content), &error);
        if (!loaded)
            return fail(error);
        inst = *loaded;
    }
    if (p.isSet(address)) {
        const int a = p.value(address).toInt();
        if (a < 1 || a > 247)
            return fail(QStringLiteral("--address must be 1..247"));
        inst.address = a;
    }
    if (p.isSet(synthetic)) {
        bool ok = false;
        const int n = p.value(synthetic).toInt(&ok);
        const int num = p.value(journal).toInt();
        const auto lay = sim::layoutFromName(p.value(layout));
        if (!ok || n < 0 || n > 65536 || !lay)
            return fail(QStringLiteral("bad --synthetic, --journal or --layout"));
        sim::Journal& j = inst.addJournal(num, *lay);
        sim::Instrument::addSynthetic(j, n);
        if (p.isSet(countReg) &&
            !inst.setRegister(p.value(countReg).toInt(), quint16(j.records.size())))
            return fail(QStringLiteral("bad --count-register"));
    }
    for (const QString& spec : p.values(fault)) {
        const auto f = sim::parseFault(spec, &error);
        if (!f)
            return fail(QStringLiteral("--fault \"%1\": %2").arg(spec, error));
        inst.faults.append(*f);
    }
    const int rate = p.value(baud).toInt();
    if (rate <= 0)
        return fail(QStringLiteral("bad --baud"));

    sim::Simulator simulator(inst);
    simulator.setBaudRate(rate);
    simulator.setPacing(p.isSet(pace) ? rate : 0);
    const bool started = p.isSet(device) ? simulator.startOnDevice(p.value(device), rate, &error)
                                         : simulator.start(&error);
    if (!started)
        return fail(error);
    if (sim::PtyLink* link = simulator.link()) {
        link->setEcho(p.isSet(echo));
        link->setLineSpeed(p.isSet(speedCheck) ? rate : 0);
    }

    std::printf("%s\n", qPrintable(simulator.clientPath()));
    if (p.isSet(com))
        std::printf("JOURNAL_PORTS=COM%d=%s\n", p.value(com).toInt(),
                    qPrintable(simulator.clientPath()));
    std::fflush(stdout);

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [] {
        if (g_stop)
            QCoreApplication::quit();
    });
    poll.start(50);
    const int rc = app.exec();
    simulator.stop();
    return rc;
}
