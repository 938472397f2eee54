// SPDX-License-Identifier: MIT
// journal-read reading a journal of synthetic records from the simulator over Modbus TCP:
//   - on loopback without a gateway, --tcp-window 1 (the records asked one after another, as
//     always) against another journal-read given on the command line (a build of before, run
//     without the option) and against --tcp-window auto: medians of 5 alternating rounds;
//   - behind a gateway that queues requests onto a serial line of 19,200 baud, 50 ms each way on
//     the network: --tcp-window auto over every record, and 1 over the baseline records.
// Each figure is a whole process: start, catalogue, connection, count, records, file.
// Usage: readwindow_bench [records [baseline-records [other-journal-read]]]
//        (defaults 5000 and 200)
#include "tests/simulatorfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using Framing = platform::NetworkEndpoint::Framing;

struct Reader {
    QString program;
    QString catalogue;
    QString output;
};

// Seconds of one reading of `records` records through `endpoint`; negative when it failed.
double readJournal(const Reader& reader, const QString& endpoint, int records,
                   const QString& window) {
    QStringList arguments{"--catalogue", reader.catalogue, "--device",
                          "1",           "--journal",      "1",
                          "--port",      endpoint,         "--speed",
                          "19200",       "--retries",      "5",
                          "--timeout",   "1000",           "--no-archive",
                          "--output",    reader.output,    "--start",
                          "0",           "--count",        QString::number(records)};
    if (!window.isEmpty())
        arguments << "--tcp-window" << window;
    QProcess p;
    QElapsedTimer t;
    t.start();
    p.start(reader.program, arguments);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "%s\n", p.readAllStandardError().constData());
        return -1;
    }
    const double seconds = t.nsecsElapsed() / 1e9;
    // Every record read: no failed record in the file.
    QFile file(reader.output);
    if (!file.open(QIODevice::ReadOnly) || file.readAll().contains("Ошибка"))
        return -1;
    return seconds;
}

std::unique_ptr<sim::Simulator> startSimulator(const sim::Instrument& inst, int baud, int latency,
                                               bool gateway) {
    fixture::SimulatorSetup setup{.baud = gateway ? baud : 0, .network = Framing::ModbusTcp};
    if (gateway) {
        setup.gateway = sim::GatewayModel::Queue;
        setup.latency = latency;
    }
    QString error;
    auto s = fixture::StartSimulator(inst, setup, &error);
    if (!s) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
        std::exit(1);
    }
    return s;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The loopback rounds; true when window 1 keeps the other reader's speed.
bool loopback(const sim::Instrument& inst, const Reader& reader, const QString& other,
              int records) {
    auto local = startSimulator(inst, 0, 0, false);
    std::vector<double> one, before, automatic;
    for (int round = 0; round < 5; ++round) {
        one.push_back(readJournal(reader, local->clientPath(), records, "1"));
        if (!other.isEmpty())
            before.push_back(readJournal({other, reader.catalogue, reader.output},
                                         local->clientPath(), records, {}));
        automatic.push_back(readJournal(reader, local->clientPath(), records, "auto"));
    }
    const double w1 = median(one), wa = median(automatic);
    std::printf("%d records on loopback, Modbus TCP without a gateway (medians of 5 rounds)\n",
                records);
    std::printf("  --tcp-window 1    : %7.3f s\n", w1);
    std::printf("  --tcp-window auto : %7.3f s (%.2f x window 1)\n", wa, w1 / wa);
    bool ok = *std::min_element(one.begin(), one.end()) > 0 &&
              *std::min_element(automatic.begin(), automatic.end()) > 0;
    if (!before.empty()) {
        const double b = median(before);
        std::printf("  %s: %7.3f s; window 1 at %.3f of its speed (target >= 0.95)\n",
                    qPrintable(other), b, b / w1);
        ok = ok && b > 0 && b / w1 >= 0.95;
    }
    std::printf("\n");
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int records = argc > 1 ? std::clamp(std::atoi(argv[1]), 16, 65535) : 5000;
    const int baseline = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, records) : 200;
    const QString other = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();

    // The sample catalogue's first instrument, its first journal made `records` long.
    QString error;
    auto inst = fixture::ContentInstrument(QStringLiteral("rt10"), &error);
    if (!inst) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    sim::Journal* journal = inst->journal(1);
    sim::Instrument::addSynthetic(*journal, records - int(journal->records.size()));
    inst->setRegister(300001, quint16(records));
    QTemporaryDir dir;
    const QDir examples(QStringLiteral(JOURNAL_SOURCE_DIR "/examples"));
    QDir(dir.path()).mkpath(QStringLiteral("devices"));
    QFile::copy(examples.filePath("main.ini"), dir.filePath("main.ini"));
    for (const QString& f : QDir(examples.filePath("devices")).entryList({"*.ini"}))
        QFile::copy(examples.filePath("devices/" + f), dir.filePath("devices/" + f));
    const Reader reader{QCoreApplication::applicationDirPath() + QStringLiteral("/journal-read"),
                        dir.path(), dir.filePath("journal.txt")};

    bool ok = loopback(*inst, reader, other, records);

    auto gateway = startSimulator(*inst, 19200, 50, true);
    const double fast = readJournal(reader, gateway->clientPath(), records, "auto");
    const double slow = readJournal(reader, gateway->clientPath(), baseline, "1");
    std::printf("%d records, queue gateway, 19200 baud, 50 ms each way\n", records);
    std::printf("  --tcp-window auto : %8.2f s (%.2f ms a record)\n", fast, fast * 1000 / records);
    std::printf("  --tcp-window 1    : %8.2f s over %d records (%.2f ms a record): speed-up "
                "%.1f x\n\n",
                slow, baseline, slow * 1000 / baseline, (slow / baseline) / (fast / records));
    ok = ok && fast > 0 && slow > 0;
    std::printf("%s\n", ok ? "all targets met" : "TARGET MISSED");
    return ok ? 0 : 3;
}
