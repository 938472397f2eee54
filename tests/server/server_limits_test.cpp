// SPDX-License-Identifier: MIT
// What a TCP peer can do to the exchange server before it presents the token: one small greeting
// within a fixed time, a few connections per address and in all; wrong tokens slow the address
// down and are logged once per interval. The admission policy is driven by a clock of the test;
// one test runs the server in-process with small limits on real sockets.
#include "comm/ipc/framecodec.h"
#include "comm/ipc/protocol.h"
#include "server/exchangeserver.h"
#include "server/tcpadmission.h"
#include "serverprocess.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtEndian>

#include <gtest/gtest.h>

#include <memory>

using fixture::waitFor;
using server::TcpAdmission;

namespace {

const QString kToken = QStringLiteral("s3cret");

QByteArray hello(const QString& token) {
    return comm::ipc::encodeFrame({QVariant::fromValue(quint8(comm::ipc::mkHello)),
                                   QVariant::fromValue(quint32(1)), QVariant::fromValue(quint32(0)),
                                   token, qint64(1)});
}

bool closed(QTcpSocket* s) {
    return s->state() == QAbstractSocket::UnconnectedState;
}

// The greeting deadline, and a greeting held back for its token check, on real sockets.
TEST(ServerLimits, GreetingIsOneSmallFrameWithinAFixedTime) {
    server::ExchangeServer srv;
    server::ConnectionLimits limits;
    limits.greetingTimeoutMs = 500;
    limits.firstTokenDelayMs = 150;
    srv.setLimits(limits);
    QString why;
    ASSERT_TRUE(srv.listenTcp(QHostAddress::LocalHost, 0, kToken, &why)) << why.toStdString();
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    const auto open = [&] {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, srv.tcpPort());
        waitFor([&] { return s->state() == QAbstractSocket::ConnectedState; }, 2000);
        sockets.push_back(std::move(s));
        return sockets.back().get();
    };

    // A frame announcing 1 MiB before the greeting: closed as soon as its length is read, long
    // before the deadline.
    QTcpSocket* big = open();
    QByteArray length(4, '\0');
    qToBigEndian<quint32>(1024 * 1024, length.data());
    big->write(length + QByteArray(100, 'x'));
    EXPECT_TRUE(waitFor([&] { return closed(big); }, limits.greetingTimeoutMs * 3 / 4));

    // A greeting trickled in a byte every 40 ms: the bytes do not restart the deadline, which
    // closes the connection before the greeting is complete.
    QTcpSocket* slow = open();
    const QByteArray frame = hello(kToken);
    QElapsedTimer t;
    t.start();
    qsizetype sent = 0;
    while (sent < frame.size() && !closed(slow)) {
        slow->write(frame.mid(sent++, 1));
        waitFor([&] { return closed(slow); }, 40);
    }
    EXPECT_TRUE(closed(slow));
    EXPECT_LT(sent, frame.size());
    EXPECT_GE(t.elapsed(), limits.greetingTimeoutMs - 100);

    // After a wrong token, the right one waits for its check, and so does a request sent right
    // behind it; both are answered then.
    QTcpSocket* guess = open();
    guess->write(hello(QStringLiteral("guess")));
    EXPECT_TRUE(waitFor([&] { return closed(guess); }, 2000));
    t.restart();
    QTcpSocket* same = open();
    same->write(
        hello(kToken) +
        comm::ipc::encodeFrame({QVariant::fromValue(quint8(comm::ipc::mkServerInfo)),
                                QVariant::fromValue(quint32(2)), QVariant::fromValue(quint32(0))}));
    comm::ipc::FrameReader replies;
    int answered = 0;
    EXPECT_TRUE(waitFor(
        [&] {
            replies.append(same->readAll());
            QVariantList m;
            while (replies.next(m) == comm::ipc::FrameReader::Status::Message)
                ++answered;
            return answered == 2;
        },
        3000));
    EXPECT_GE(t.elapsed(), limits.firstTokenDelayMs - 50);
}

// Connections per address and in all, step by step: which connections are open after each.
TEST(ServerLimits, ConnectionsPerAddressAndInAll) {
    TcpAdmission admission([] { return qint64(0); });
    server::ConnectionLimits limits;
    limits.maxPerPeer = 3;
    limits.maxConnections = 5;
    admission.setLimits(limits);
    const struct {
        const char* from;
        bool greets;
        std::vector<bool> openAfter; // state of every connection so far
    } steps[] = {
        {"127.0.0.2", false, {true}},
        {"127.0.0.2", false, {true, true}},
        {"127.0.0.2", true, {true, true, true}},
        {"127.0.0.2", false, {true, true, true, false}}, // a fourth from one address: refused
        {"127.0.0.3", true, {true, true, true, false, true}},
        {"127.0.0.4", true, {true, true, true, false, true, true}},
        // Full: the oldest connection without greeting makes room.
        {"127.0.0.5", true, {false, true, true, false, true, true, true}},
        {"127.0.0.6", true, {false, false, true, false, true, true, true, true}},
        // Every connection has greeted: a new one is refused.
        {"127.0.0.7", false, {false, false, true, false, true, true, true, true, false}},
    };
    std::vector<bool> open;
    for (const auto& step : steps) {
        SCOPED_TRACE(std::to_string(open.size() + 1) + " from " + step.from);
        const TcpAdmission::Connection id = open.size() + 1;
        const TcpAdmission::Verdict verdict = admission.admit(id, QString::fromLatin1(step.from));
        if (verdict.evicted)
            open[*verdict.evicted - 1] = false;
        if (verdict.admitted && step.greets)
            admission.greeted(id);
        open.push_back(verdict.admitted);
        EXPECT_EQ(open, step.openAfter);
    }
}

// Wrong tokens slow their address down: the delay before its next check, at times of the clock.
TEST(ServerLimits, WrongTokensSlowTheirAddressDown) {
    qint64 now = 0;
    TcpAdmission admission([&] { return now; });
    server::ConnectionLimits limits;
    limits.firstTokenDelayMs = 100;
    limits.maxTokenDelayMs = 1000;
    limits.tokenFailureMemoryMs = 60000;
    admission.setLimits(limits);
    const QString a = QStringLiteral("127.0.0.2"), b = QStringLiteral("127.0.0.3");
    enum Check { Wrong, Right, None };
    const struct {
        qint64 at;
        const QString& peer;
        qint64 delay; // tokenCheckDelay before the check
        Check check;
    } rows[] = {
        {0, a, 0, Wrong},
        {50, a, 50, None},
        {100, a, 0, Wrong},
        {100, b, 0, None},
        {300, a, 0, Wrong},
        {500, a, 200, None},
        {700, a, 0, Wrong},
        {1500, a, 0, Wrong},
        {1500, a, 1000, None}, // doubling stops at the cap
        {2500, a, 0, Right},
        {2500, a, 0, Wrong},
        {2550, a, 50, None},
        // Forgotten after a minute without a failure: the delay starts small again.
        {62601, a, 0, Wrong},
        {62651, a, 50, None},
    };
    for (const auto& r : rows) {
        now = r.at;
        SCOPED_TRACE("at " + std::to_string(r.at) + " " + r.peer.toStdString());
        EXPECT_EQ(admission.tokenCheckDelay(r.peer), r.delay);
        if (r.check != None)
            admission.tokenChecked(r.peer, r.check == Right);
    }
}

// Connections closed before their greeting: the first of an interval is logged, the rest are
// counted for the interval's end; a quiet interval lets the next one be logged again.
TEST(ServerLimits, RefusalsAreLoggedOncePerInterval) {
    TcpAdmission admission;
    EXPECT_TRUE(admission.logRefusal());
    EXPECT_FALSE(admission.logRefusal());
    EXPECT_FALSE(admission.logRefusal());
    EXPECT_EQ(admission.endLogInterval(), 2);
    EXPECT_FALSE(admission.logRefusal()); // the summary began another interval
    EXPECT_EQ(admission.endLogInterval(), 1);
    EXPECT_EQ(admission.endLogInterval(), 0);
    EXPECT_TRUE(admission.logRefusal());
}

} // namespace
