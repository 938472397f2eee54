// SPDX-License-Identifier: MIT
// The master over TCP: Modbus TCP and RTU frames on loopback against a scripted gateway, and
// the ways a connection fails.
#include "accesslib/frames/mbapframe.h"
#include "accesslib/frames/rtuframe.h"
#include "ombrel/rtuandtcpmaster.h"
#include "platform/endpoint.h"
#include "tests/scriptedgateway.h"

#include <QElapsedTimer>
#include <QModbusPdu>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

using namespace ombrel;
using fixture::GatewayReply;
using fixture::GatewayScript;
using fixture::listenOnLoopback;
using fixture::ScriptedGateway;
using Framing = platform::NetworkEndpoint::Framing;

const QModbusRequest kRead(QModbusPdu::ReadHoldingRegisters, quint16(9), quint16(1));
const QModbusResponse kAnswer(QModbusPdu::ReadHoldingRegisters, QByteArray::fromHex("020078"));
const QModbusResponse kOther(QModbusPdu::ReadHoldingRegisters, QByteArray::fromHex("020099"));

quint16 transactionOf(const QByteArray& request) {
    return request.size() < 2 ? 0 : quint16(quint8(request[0]) << 8 | quint8(request[1]));
}

GatewayReply mbap(const QByteArray& req, const QModbusPdu& pdu, int shift = 0, quint8 unit = 1) {
    return {buildMbap(quint16(transactionOf(req) + shift), unit, pdu)};
}

// Every answer of a gateway, good and hostile, gives the master's result code of the serial
// line; a closed connection is opened again once, silently. The trace tells the link, answers to
// another transaction and a closed connection.
TEST(TcpMaster, ExchangesWithAScriptedGateway) {
    const QByteArray flood(200000, '\x41');
    const struct {
        const char* name;
        Framing framing;
        GatewayScript script;
        int exchanges; // each with the same expected result
        int rc;
        int connections;
        int tracedKind = -1; // an event of this kind (and these flags) is in the trace
        int tracedFlags = 0;
    } cases[] = {
        {"answer", Framing::ModbusTcp, [](auto& r, int) { return mbap(r, kAnswer); }, 2, 0, 1},
        {"stale transaction first", Framing::ModbusTcp,
         [](auto& r, int) {
             return GatewayReply{mbap(r, kOther, -1).bytes + mbap(r, kAnswer).bytes};
         },
         2, 0, 1},
        {"other unit first", Framing::ModbusTcp,
         [](auto& r, int) {
             return GatewayReply{mbap(r, kOther, 0, 7).bytes + mbap(r, kAnswer).bytes};
         },
         1, 0, 1},
        {"only stale answers", Framing::ModbusTcp, [](auto& r, int) { return mbap(r, kOther, 5); },
         1, rcNoAnswer, 1, OMBREL_TRACE_ANSWER, OMBREL_FRAME_OTHER_TRANSACTION},
        {"exception", Framing::ModbusTcp,
         [](auto& r, int) {
             return mbap(r, QModbusExceptionResponse(QModbusPdu::ReadHoldingRegisters,
                                                     QModbusPdu::IllegalDataAddress));
         },
         1, 12, 1},
        {"wrong protocol id", Framing::ModbusTcp,
         [](auto& r, int) {
             GatewayReply g = mbap(r, kAnswer);
             g.bytes[3] = 1;
             return g;
         },
         1, rcCrc, 1},
        {"oversized length and a flood", Framing::ModbusTcp,
         [&](auto& r, int) {
             GatewayReply g = mbap(r, kAnswer);
             g.bytes[4] = char(0xFF);
             g.bytes[5] = char(0xFF);
             g.bytes += flood;
             return g;
         },
         1, rcCrc, 1},
        {"silence", Framing::ModbusTcp, [](auto&, int) { return GatewayReply{}; }, 1, rcNoAnswer,
         1},
        {"closes idle connections", Framing::ModbusTcp,
         [](auto& r, int) {
             GatewayReply g = mbap(r, kAnswer);
             g.close = true;
             return g;
         },
         3, 0, 3},
        {"closes before answering once", Framing::ModbusTcp,
         [](auto& r, int c) {
             return c == 0 ? GatewayReply{{}, true} : mbap(r, kAnswer);
         },
         2, 0, 2},
        {"closes every time", Framing::ModbusTcp,
         [](auto&, int) {
             return GatewayReply{{}, true};
         },
         1, rcChannelClosed, 2, OMBREL_TRACE_CLOSED},
        {"rtu answer", Framing::RtuOverTcp,
         [](auto&, int) { return GatewayReply{buildAdu(1, kAnswer)}; }, 2, 0, 1},
        {"rtu garbage", Framing::RtuOverTcp,
         [](auto&, int) { return GatewayReply{QByteArray(300, '\xFF')}; }, 1, rcCrc, 1},
        {"rtu flood", Framing::RtuOverTcp, [&](auto&, int) { return GatewayReply{flood}; }, 1,
         rcCrc, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedGateway gateway(c.script);
        ASSERT_NE(gateway.port(), 0);
        const platform::NetworkEndpoint ep{c.framing, QStringLiteral("127.0.0.1"), gateway.port()};
        RtuAndTcpMaster master;
        master.setRetries(0);
        master.setTimeouts(200, 20);
        std::vector<OmbrelTraceEvent> events; // their bytes are not kept
        master.setTraceObserver(
            [](const OmbrelTraceEvent* e, void* user) {
                static_cast<std::vector<OmbrelTraceEvent>*>(user)->push_back(*e);
            },
            &events);
        ASSERT_TRUE(master.open(ep.text(), 9600, false)) << master.openError().toStdString();
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < c.exchanges; ++i) {
            QModbusResponse reply;
            EXPECT_EQ(master.exchange(1, kRead, &reply), c.rc) << "exchange " << i;
            if (c.rc == 0) {
                EXPECT_EQ(reply.data(), kAnswer.data());
            }
        }
        EXPECT_LT(timer.elapsed(), 2000 * c.exchanges); // no exchange hangs on a hostile peer
        EXPECT_EQ(gateway.connections(), c.connections);
        EXPECT_EQ(master.isOpen(), c.rc != rcChannelClosed);
        const int link =
            c.framing == Framing::ModbusTcp ? OMBREL_LINK_MODBUS_TCP : OMBREL_LINK_RTU_OVER_TCP;
        EXPECT_TRUE(std::all_of(events.begin(), events.end(),
                                [&](const OmbrelTraceEvent& e) { return e.link == link; }));
        if (c.tracedKind >= 0) {
            EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const OmbrelTraceEvent& e) {
                return e.kind == c.tracedKind && (e.flags & c.tracedFlags) == c.tracedFlags;
            }));
        }
    }
}

// Refused, black-holed and unknown endpoints: open() fails within the connect time limit and
// says why.
TEST(TcpMaster, ConnectFailuresSayWhyInTime) {
    quint16 refusedPort = 0;
    ::close(listenOnLoopback(1, &refusedPort)); // a port nobody listens on now
    // A listening socket whose backlog is full drops further SYNs, as a black hole does.
    quint16 holePort = 0;
    const int hole = listenOnLoopback(0, &holePort);
    ASSERT_GE(hole, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 8; ++i) {
        const int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(holePort);
        ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(f);
    }
    const struct {
        QString endpoint;
        const char* reason;
        int atLeastMs;
    } cases[] = {
        {QStringLiteral("tcp://127.0.0.1:%1").arg(refusedPort), "отклонено", 0},
        {QStringLiteral("rtu+tcp://[::1]:%1").arg(refusedPort), "", 0}, // refused or no IPv6
        {QStringLiteral("tcp://127.0.0.1:%1").arg(holePort), "не ответил на соединение за 0.5 с",
         450},
        {QStringLiteral("tcp://no-such-gateway.invalid"), "", 0},
        {QStringLiteral("tcp://::1"), "квадратных скобках", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.endpoint.toStdString());
        RtuAndTcpMaster master;
        master.setConnectTimeout(500);
        QElapsedTimer timer;
        timer.start();
        EXPECT_FALSE(master.open(c.endpoint, 9600, false));
        EXPECT_LT(timer.elapsed(), 500 + 200);
        EXPECT_GE(timer.elapsed(), c.atLeastMs);
        EXPECT_FALSE(master.openError().isEmpty());
        EXPECT_TRUE(master.openError().contains(QString::fromUtf8(c.reason)))
            << master.openError().toStdString();
        QModbusResponse reply;
        EXPECT_EQ(master.exchange(1, kRead, &reply), rcChannelClosed);
    }
    for (const int f : fillers)
        ::close(f);
    ::close(hole);
}

} // namespace
