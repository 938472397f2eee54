// SPDX-License-Identifier: MIT
// Masters of one process, each on a line and a thread of its own: every answer and every trace
// event stays with its line.
#include "ombrel/rtuandtcpmaster.h"
#include "tests/simulatorfixture.h"

#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

struct LineResult {
    int wrongAnswers = 0;
    int requestsTraced = 0;
    int foreignEvents = 0; // trace events naming another line's address
};

void traceEvent(const OmbrelTraceEvent* e, void* user) {
    auto* line = static_cast<std::pair<int, LineResult*>*>(user);
    if (e->kind == OMBREL_TRACE_REQUEST)
        ++line->second->requestsTraced;
    if (e->address >= 0 && e->address != line->first)
        ++line->second->foreignEvents;
}

TEST(RtuAndTcpMaster, ManyInstancesOnThreadsOfTheirOwn) {
    constexpr int kLines = 4, kRecords = 40;
    std::vector<std::unique_ptr<sim::Simulator>> simulators;
    for (int k = 0; k < kLines; ++k) {
        sim::Instrument inst;
        inst.address = 10 + k;
        auto& records = inst.addJournal(1, sim::Layout::Plain).records;
        for (int i = 0; i < kRecords; ++i)
            records.append(QByteArray(3, char(k)) + char(i));
        QString error;
        simulators.push_back(fixture::StartSimulator(inst, {}, &error));
        ASSERT_TRUE(simulators.back()) << error.toStdString();
    }
    std::vector<LineResult> results(kLines);
    std::vector<std::unique_ptr<QThread>> threads;
    for (int k = 0; k < kLines; ++k) {
        threads
            .emplace_back(QThread::create([&, k] {
                ombrel::RtuAndTcpMaster master;
                std::pair<int, LineResult*> line{10 + k, &results[k]};
                master.setTraceObserver(&traceEvent, &line);
                if (!master.open(simulators[k]->clientPath(), 115200, false))
                    return;
                for (int i = 0; i < kRecords; ++i) {
                    const char req[7] = {0, 1, 0, 1, 0, 0, char(i)};
                    const QModbusRequest request(QModbusPdu::FunctionCode(0x41),
                                                 QByteArray(req, 7));
                    QModbusResponse reply;
                    const int rc = master.exchange(quint8(10 + k), request, &reply);
                    if (rc != ombrel::rcOk ||
                        reply.data().mid(1) != QByteArray(3, char(k)) + char(i))
                        ++results[k].wrongAnswers;
                }
            }))
            ->start();
    }
    for (const auto& thread : threads)
        EXPECT_TRUE(thread->wait(60000));
    for (int k = 0; k < kLines; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(results[k].wrongAnswers, 0);
        EXPECT_EQ(results[k].requestsTraced, kRecords);
        EXPECT_EQ(results[k].foreignEvents, 0);
    }
}

} // namespace
