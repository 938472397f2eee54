// SPDX-License-Identifier: MIT
// Journal records read with requests in flight through a Modbus TCP gateway that queues them
// onto its serial line (the simulator's --gateway queue, the line paced at its baud rate), each
// packet delayed on the network in each direction:
//   - 19,200 baud, 50 ms each way: against the wire floor of the serial line (the wire time of a
//     record's request and answer with the 3.5-character silence before each);
//   - 19,200 baud, 200 ms each way, and 115,200 baud, 50 ms each way: against the floor of a
//     window of 16 (16 requests per round trip and one record's wire time, or the wire floor
//     when that is slower);
//   - one request at a time on the same links, the baseline: the speed-up;
//   - on loopback without a gateway, a run at window 1 against a loop of single exchanges.
// The windowed runs use the automatic window from 1, as a first reading of an endpoint does.
// Usage: pipeline_bench [records [baseline-records]] (defaults 5000 and 200)
#include "ombrel/rtuandtcpmaster.h"
#include "sim/simulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using ombrel::RtuAndTcpMaster;
using Framing = platform::NetworkEndpoint::Framing;

constexpr int kRecordBytes = 10; // a synthetic tdPlain record's data

QModbusRequest recordRequest(int index) {
    const char req[7] = {0, 1, 0, 1, 0, char(index >> 8), char(index)};
    return QModbusRequest(QModbusPdu::FunctionCode(0x41), QByteArray(req, 7));
}

QList<QModbusRequest> requests(int records) {
    QList<QModbusRequest> list;
    for (int i = 0; i < records; ++i)
        list.append(recordRequest(i));
    return list;
}

// Wire time of one record on the serial line, in seconds: the request (11 bytes) and the answer
// (5 bytes and the data), 10 bits a byte, each after a 3.5-character silence (1.75 ms above
// 19,200 baud).
double recordWireTime(int baud) {
    const double gap = baud > 19200 ? 0.00175 : 35.0 / baud;
    return 10.0 * (11 + 5 + kRecordBytes) / baud + 2 * gap;
}

struct Run {
    double seconds = 0;
    int errors = 0;
    ombrel::RunReport report;
};

Run readRun(const QString& endpoint, int records, int window) {
    Run run;
    RtuAndTcpMaster master;
    master.setRetries(5);
    master.setTimeouts(1000, 50);
    if (!master.open(endpoint, 19200, false)) {
        std::fprintf(stderr, "open %s: %s\n", qPrintable(endpoint), qPrintable(master.openError()));
        std::exit(1);
    }
    QElapsedTimer t;
    t.start();
    run.report = master.exchangeRun(1, requests(records), {.window = window},
                                    [&](int, int rc, const QModbusResponse&) {
                                        run.errors += rc != 0;
                                        return true;
                                    });
    run.seconds = t.nsecsElapsed() / 1e9;
    run.errors += records - run.report.delivered;
    return run;
}

std::unique_ptr<sim::Simulator> startGateway(const sim::Instrument& inst, int baud, int latency) {
    auto s = std::make_unique<sim::Simulator>(inst);
    s->setBaudRate(baud);
    s->setLatency(latency);
    s->setGateway(sim::GatewayModel::Queue);
    QString error;
    if (!s->startNetwork(Framing::ModbusTcp, QHostAddress::LocalHost, 0, &error)) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
        std::exit(1);
    }
    return s;
}

// One link: the automatic window against its floor, and window 1 as the baseline. True when the
// target is met.
bool link(const sim::Instrument& inst, int baud, int latency, int records, int baseline,
          bool wireFloor) {
    const double wire = recordWireTime(baud);
    const double window16 = std::max(wire, (2 * latency / 1000.0 + wire) / 16);
    const double floor = (wireFloor ? wire : window16) * records;
    std::printf("%d records, queue gateway, %d baud, %d ms each way\n", records, baud, latency);
    auto gateway = startGateway(inst, baud, latency);
    const Run fast = readRun(gateway->clientPath(), records, ombrel::kAutoWindow);
    const Run slow = readRun(gateway->clientPath(), baseline, 1);
    const double perRecord = fast.seconds / records, slowPerRecord = slow.seconds / baseline;
    std::printf("  window auto     : %8.2f s (%.2f ms a record, %d errors, window reached %d)\n",
                fast.seconds, perRecord * 1000, fast.errors, fast.report.windowReached);
    std::printf("  %s: %8.2f s (%.2f ms a record)\n",
                wireFloor ? "wire floor      " : "floor, window 16", floor, floor / records * 1000);
    std::printf("  speed           : %8.3f of the floor (target >= 0.90)\n", floor / fast.seconds);
    std::printf(
        "  window 1        : %.2f ms a record over %d records (%d errors): speed-up %.1f x\n\n",
        slowPerRecord * 1000, baseline, slow.errors, slowPerRecord / perRecord);
    return fast.errors == 0 && slow.errors == 0 && floor / fast.seconds >= 0.9;
}

// Seconds of a loop of single exchanges over `records` records.
double exchangeLoop(const QString& endpoint, int records) {
    RtuAndTcpMaster master;
    master.setRetries(5);
    if (!master.open(endpoint, 19200, false))
        return 1e9;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < records; ++i) {
        QModbusResponse reply;
        if (master.exchange(1, recordRequest(i), &reply) != 0)
            return 1e9;
    }
    return t.nsecsElapsed() / 1e9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int records = argc > 1 ? std::clamp(std::atoi(argv[1]), 16, 65536) : 5000;
    const int baseline = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, 65536) : 200;
    sim::Instrument inst;
    sim::Instrument::addSynthetic(inst.addJournal(1, sim::Layout::Plain), records, {1, 2, 3});

    bool ok = link(inst, 19200, 50, records, baseline, true);
    ok = link(inst, 19200, 200, records, baseline, false) && ok;
    ok = link(inst, 115200, 50, records, baseline, false) && ok;

    // Loopback: alternating rounds, medians.
    sim::Simulator local(inst);
    QString error;
    if (!local.startNetwork(Framing::ModbusTcp, QHostAddress::LocalHost, 0, &error)) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
        return 1;
    }
    std::vector<double> loops, runs;
    int errors = 0;
    for (int round = 0; round < 7; ++round) {
        loops.push_back(exchangeLoop(local.clientPath(), records));
        const Run run = readRun(local.clientPath(), records, 1);
        runs.push_back(run.seconds);
        errors += run.errors;
    }
    const double loop = median(loops), run = median(runs);
    std::printf("%d records on loopback, Modbus TCP without a gateway (medians of 7 rounds)\n",
                records);
    std::printf("  single exchanges: %7.3f s (%.3f ms a record)\n", loop, loop * 1000 / records);
    std::printf("  run at window 1 : %7.3f s (%.3f ms a record, %d errors)\n", run,
                run * 1000 / records, errors);
    std::printf("  speed           : %7.3f of the single exchanges' (target >= 0.95)\n\n",
                loop / run);
    ok = ok && errors == 0 && loop / run >= 0.95;

    std::printf("%s\n", ok ? "all targets met" : "TARGET MISSED");
    return ok ? 0 : 3;
}
