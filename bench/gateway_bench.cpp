// SPDX-License-Identifier: MIT
// Reading runs from an instrument behind a network gateway (the simulator's Modbus TCP endpoint
// on loopback):
//   (a) a bare loop of the library calls a run makes against the same journal through the
//       reading engine and the list model: speed against the bare loop;
//   (b) the engine with every packet delayed by 10 ms each way (20 ms a round trip), against the
//       latency floor (records x (20 ms + the loopback round trip measured in (a)));
//   (c) how soon Connect fails with its reason on a refused endpoint and on a black hole (a
//       listening socket with a full backlog drops the SYNs), against the connect time limit.
// Usage: gateway_bench [records [latency-records]] (defaults 65536 and 200)
#include "app/core/journaldecoder.h"
#include "app/core/readingrun.h"
#include "app/models/stringtablemodel.h"
#include "benchcatalogue.h"
#include "sim/simulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kCom = 250;
using Framing = platform::NetworkEndpoint::Framing;

double seconds(const QElapsedTimer& t) {
    return t.nsecsElapsed() / 1e9;
}

void mapCom(const QString& endpoint) {
    qputenv("JOURNAL_PORTS", QStringLiteral("COM%1=%2").arg(kCom).arg(endpoint).toUtf8());
}

// Starts the simulator's Modbus TCP endpoint and maps COMkCom to it.
void startOnTcp(sim::Simulator& s) {
    QString error;
    if (!s.startNetwork(Framing::ModbusTcp, QHostAddress::LocalHost, 0, &error)) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
        std::exit(1);
    }
    mapCom(s.clientPath());
}

// The reading engine and the list model over the same calls; seconds and rows read.
double engineRun(core::TAccessLibraryBinding& lib, const core::TRunRequest& request, int* rows) {
    models::TStringTableModel sg(2, 5), sgGr(2, 1);
    core::TJournalDecoder decoder(sg);
    core::TRunDecoder runDecoder(decoder, sgGr);
    QuietRunHost host;
    core::TReadingRun run(lib, runDecoder, sg, host);
    QElapsedTimer t;
    t.start();
    run.Run(request);
    *rows = sg.rowCount() - 1;
    return seconds(t);
}

// Time until Connect fails on COMkCom mapped to `endpoint`; the reason in `why`.
double failedConnect(core::TAccessLibraryBinding& lib, const QString& endpoint, QString* why) {
    mapCom(endpoint);
    QElapsedTimer t;
    t.start();
    const bool connected = lib.Connect(kCom, 115200, 0);
    const double s = seconds(t);
    *why = connected ? QStringLiteral("(connected!)") : lib.LastErrorDetail();
    lib.Disconnect();
    return connected ? 1e9 : s;
}

// A loopback port whose listening socket has a full backlog: further SYNs are dropped.
quint16 blackHole(std::vector<int>* fds) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 0) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 0;
    fds->push_back(fd);
    for (int i = 0; i < 8; ++i) {
        const int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fds->push_back(f);
    }
    return ntohs(a.sin_port);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int records = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 65536) : 65536;
    const int slowRecords = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, 65536) : 200;

    BenchCatalogue bench;
    if (!bench.prepare(records))
        return 1;
    core::TAccessLibraryBinding& lib = bench.lib;
    sim::Instrument inst;
    sim::Instrument::addSynthetic(inst.addJournal(1, sim::Layout::Plain), records, {1, 2, 3});
    core::TRunRequest request = bench.runRequest(kCom);
    bool ok = true;

    // (a)
    std::printf("journal of %d tdPlain records over Modbus TCP on loopback\n", records);
    sim::Simulator fast(inst);
    startOnTcp(fast);
    int errors = 0;
    const double bare = bench.bareLoop(kCom, records, &errors);
    int rows = 0;
    const double engine = engineRun(lib, request, &rows);
    fast.stop();
    const double roundTrip = bare / records;
    std::printf("  bare loop       : %7.3f s (%.3f ms a record, %d errors)\n", bare,
                roundTrip * 1000, errors);
    std::printf("  engine + model  : %7.3f s (%.3f ms a record, %d rows)\n", engine,
                engine * 1000 / records, rows);
    std::printf("  speed           : %7.2f x the bare loop's (target >= 0.90)\n\n", bare / engine);
    ok = ok && bare > 0 && bare / engine >= 0.9 && rows == records;

    // (b)
    bench.setRecords(slowRecords);
    request.device = bench.device();
    sim::Simulator slow(inst);
    slow.setLatency(10); // each way
    startOnTcp(slow);
    const double measured = engineRun(lib, request, &rows);
    slow.stop();
    const double floor = slowRecords * (0.020 + roundTrip);
    std::printf("engine run of %d records, a round trip 20 ms longer\n", slowRecords);
    std::printf("  measured        : %7.3f s (%.3f ms a record, %d rows)\n", measured,
                measured * 1000 / slowRecords, rows);
    std::printf("  latency floor   : %7.3f s (%.3f ms a record)\n", floor,
                floor * 1000 / slowRecords);
    std::printf("  speed           : %7.1f %% of the floor's (target >= 90 %%)\n\n",
                floor / measured * 100);
    ok = ok && floor / measured >= 0.9 && rows == slowRecords;

    // (c)
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const quint16 refused = probe.serverPort();
    probe.close();
    std::vector<int> fds;
    const quint16 hole = blackHole(&fds);
    QString why;
    const double refusedS =
        failedConnect(lib, QStringLiteral("tcp://127.0.0.1:%1").arg(refused), &why);
    std::printf("Connect to a refused endpoint: %.3f s (target < 0.2 s): %s\n", refusedS,
                qPrintable(why));
    const double holeS = failedConnect(lib, QStringLiteral("tcp://127.0.0.1:%1").arg(hole), &why);
    std::printf("Connect to a black hole     : %.3f s (target < 3 s + 0.2 s): %s\n", holeS,
                qPrintable(why));
    for (const int fd : fds)
        ::close(fd);
    ok = ok && refusedS < 0.2 && holeS < 3.2 && hole != 0;

    std::printf("%s\n", ok ? "all targets met" : "TARGET MISSED");
    return ok ? 0 : 3;
}
