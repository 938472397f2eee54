// SPDX-License-Identifier: MIT
// Runs of journal records with requests in flight, through the master against the simulator's
// Modbus TCP gateways: every record's result is the instrument's own whatever the gateway, the
// window, the network delay and the fault; gateways that serve one request at a time make the
// run fall back, once, and lose nothing.
#include "comm/ipc/resultcodes.h"
#include "ombrel/rtuandtcpmaster.h"
#include "sim/simulator.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace ombrel;
using sim::GatewayModel;

constexpr int kRecords = 20;
constexpr int kFaulty = 9; // the record the fault hits

QModbusRequest recordRequest(int index) {
    const char req[7] = {0, 1, 0, 1, 0, char(index >> 8), char(index)};
    return QModbusRequest(QModbusPdu::FunctionCode(0x41), QByteArray(req, 7));
}

struct Outcome {
    std::vector<int> items; // in the order handed on
    std::vector<int> rcs;
    std::vector<QByteArray> data;
    RunReport report;
    int fallbackEvents = 0;
};

void onTrace(const OmbrelTraceEvent* e, void* user) {
    if (e->kind == OMBREL_TRACE_WINDOW && (e->flags & OMBREL_WINDOW_FALLBACK))
        ++static_cast<Outcome*>(user)->fallbackEvents;
}

Outcome readRun(const QString& endpoint, int window) {
    Outcome out;
    RtuAndTcpMaster master;
    master.setRetries(3);
    master.setTimeouts(300, 50);
    master.setTraceObserver(&onTrace, &out);
    if (!master.open(endpoint, 115200, false))
        return out;
    QList<QModbusRequest> requests;
    for (int i = 0; i < kRecords; ++i)
        requests.append(recordRequest(i));
    out.report = master.exchangeRun(1, requests, {.window = window},
                                    [&](int item, int rc, const QModbusResponse& reply) {
                                        out.items.push_back(item);
                                        out.rcs.push_back(rc);
                                        out.data.push_back(reply.data());
                                        return true;
                                    });
    return out;
}

TEST(RequestWindow, EveryRecordRightBehindEveryGateway) {
    sim::Instrument inst;
    sim::Journal& journal = inst.addJournal(1, sim::Layout::Plain);
    sim::Instrument::addSynthetic(journal, kRecords);
    const struct {
        const char* name;
        const char* fault;
        int rc; // of the faulty record
    } faults[] = {
        {"lost answer", "noanswer record=1:9 times=1", comm::ipc::rcOk},
        {"exception", "exception record=1:9 code=2", comm::ipc::rcBadAddress},
        // The answer comes after the master's answer time (and its retry), within the gateway's.
        {"late answer after its retry", "delay record=1:9 ms=450 times=1", comm::ipc::rcOk},
    };
    for (const auto model : {GatewayModel::Queue, GatewayModel::Single, GatewayModel::Close})
        for (const int window : {1, 4, kAutoWindow})
            for (const int latency : {0, 50})
                for (const auto& fault : faults) {
                    SCOPED_TRACE(testing::Message()
                                 << "gateway " << int(model) << ", window " << window << ", "
                                 << latency << " ms, " << fault.name);
                    sim::Simulator simulator(inst);
                    simulator.setBaudRate(115200);
                    simulator.setGateway(model);
                    simulator.setLatency(latency);
                    simulator.addFault(*sim::parseFault(QString::fromLatin1(fault.fault)));
                    QString error;
                    ASSERT_TRUE(
                        simulator.startNetwork(platform::NetworkEndpoint::Framing::ModbusTcp,
                                               QHostAddress::LocalHost, 0, &error))
                        << error.toStdString();
                    const Outcome out = readRun(simulator.clientPath(), window);
                    ASSERT_EQ(int(out.items.size()), kRecords);
                    for (int i = 0; i < kRecords; ++i) {
                        SCOPED_TRACE(i);
                        EXPECT_EQ(out.items[i], i);
                        const bool hit = i == kFaulty;
                        EXPECT_EQ(out.rcs[i], hit ? fault.rc : comm::ipc::rcOk);
                        if (!hit || fault.rc == comm::ipc::rcOk) {
                            EXPECT_EQ(out.data[i],
                                      char(journal.records[i].size()) + journal.records[i]);
                        }
                    }
                    const bool oneAtATime = model != GatewayModel::Queue && window != 1;
                    EXPECT_EQ(out.report.fallback != WindowFallback::None, oneAtATime);
                    EXPECT_EQ(out.fallbackEvents, oneAtATime ? 1 : 0);
                    if (oneAtATime || window == 1) {
                        EXPECT_EQ(out.report.windowReached, 1);
                    }
                }
}

} // namespace
