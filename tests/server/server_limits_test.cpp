// SPDX-License-Identifier: MIT
// What a TCP peer can do to the exchange server before it presents the token: one small greeting
// within a fixed time, a few connections per address and in all; wrong tokens slow the address
// down and are logged once per interval. The server runs in-process with small limits.
#include "comm/ipc/framecodec.h"
#include "comm/ipc/protocol.h"
#include "server/exchangeserver.h"
#include "serverprocess.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtEndian>

#include <gtest/gtest.h>

#include <memory>

using fixture::waitFor;

namespace {

const QString kToken = QStringLiteral("s3cret");

QByteArray hello(const QString& token) {
    return comm::ipc::encodeFrame({QVariant::fromValue(quint8(comm::ipc::mkHello)),
                                   QVariant::fromValue(quint32(1)), QVariant::fromValue(quint32(0)),
                                   token, qint64(1)});
}

class ServerLimits : public ::testing::Test {
protected:
    void start(const server::ConnectionLimits& limits) {
        server.setLimits(limits);
        QString why;
        ASSERT_TRUE(server.listenTcp(QHostAddress::LocalHost, 0, kToken, &why))
            << why.toStdString();
    }
    // A connection from the loopback address `from` (127.0.0.x), accepted or refused by now.
    QTcpSocket* open(const char* from) {
        auto s = std::make_unique<QTcpSocket>();
        s->bind(QHostAddress(QString::fromLatin1(from)), 0);
        s->connectToHost(QHostAddress::LocalHost, server.tcpPort());
        waitFor([&] { return s->state() == QAbstractSocket::ConnectedState; }, 2000);
        waitFor([] { return false; }, 30); // the server's accept
        sockets.push_back(std::move(s));
        return sockets.back().get();
    }
    static bool closed(QTcpSocket* s) { return s->state() == QAbstractSocket::UnconnectedState; }
    // Sends the greeting; true when the server answers it (false: it closed the connection).
    static bool greet(QTcpSocket* s, const QString& token, int timeoutMs = 3000) {
        s->write(hello(token));
        waitFor([&] { return s->bytesAvailable() > 0 || closed(s); }, timeoutMs);
        return s->bytesAvailable() > 0;
    }

    server::ExchangeServer server;
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
};

TEST_F(ServerLimits, GreetingIsOneSmallFrameWithinAFixedTime) {
    server::ConnectionLimits limits;
    limits.greetingTimeoutMs = 1000;
    start(limits);

    // A frame announcing 1 MiB before the greeting: closed as soon as its length is read, long
    // before the deadline.
    QTcpSocket* big = open("127.0.0.2");
    QByteArray length(4, '\0');
    qToBigEndian<quint32>(1024 * 1024, length.data());
    big->write(length + QByteArray(100, 'x'));
    EXPECT_TRUE(waitFor([&] { return closed(big); }, limits.greetingTimeoutMs * 3 / 4));

    // A greeting trickled in a byte every 60 ms (about 2.5 s): the bytes do not restart the
    // deadline, which closes the connection before the greeting is complete.
    QTcpSocket* slow = open("127.0.0.2");
    const QByteArray frame = hello(kToken);
    QElapsedTimer t;
    t.start();
    qsizetype sent = 0;
    while (sent < frame.size() && !closed(slow)) {
        slow->write(frame.mid(sent++, 1));
        waitFor([&] { return closed(slow); }, 60);
    }
    EXPECT_TRUE(closed(slow));
    EXPECT_LT(sent, frame.size());
    EXPECT_GE(t.elapsed(), limits.greetingTimeoutMs - 100);

    // A proper client meanwhile is served.
    EXPECT_TRUE(greet(open("127.0.0.3"), kToken));
}

TEST_F(ServerLimits, ConnectionsPerAddressAndInAll) {
    server::ConnectionLimits limits;
    limits.maxPerPeer = 3;
    limits.maxConnections = 5;
    start(limits);
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
    for (const auto& step : steps) {
        SCOPED_TRACE(std::to_string(sockets.size() + 1) + " from " + step.from);
        QTcpSocket* s = open(step.from);
        if (step.greets) {
            EXPECT_TRUE(greet(s, kToken));
        }
        const auto openNow = [this] {
            std::vector<bool> open;
            for (const auto& socket : sockets)
                open.push_back(!closed(socket.get()));
            return open;
        };
        waitFor([&] { return openNow() == step.openAfter; }, 2000);
        EXPECT_EQ(openNow(), step.openAfter);
    }
}

TEST_F(ServerLimits, WrongTokensSlowTheirAddressDownAndAreLoggedOnce) {
    server::ConnectionLimits limits;
    limits.firstTokenDelayMs = 100;
    limits.maxTokenDelayMs = 1000;
    start(limits);
    static int logged = 0;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
            if (text.contains(QLatin1String("before its greeting")))
                ++logged;
        });

    // Five wrong tokens, one after the other: checked 100, 200, 400 and 800 ms apart.
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(greet(open("127.0.0.2"), QStringLiteral("guess")));
    EXPECT_GE(t.elapsed(), 1500);
    // The right token from the guessing address waits out the last delay (1 s), and so does a
    // request sent right behind it; another address is not slowed down meanwhile.
    t.restart();
    QTcpSocket* same = open("127.0.0.2");
    same->write(
        hello(kToken) +
        comm::ipc::encodeFrame({QVariant::fromValue(quint8(comm::ipc::mkServerInfo)),
                                QVariant::fromValue(quint32(2)), QVariant::fromValue(quint32(0))}));
    EXPECT_TRUE(greet(open("127.0.0.3"), kToken));
    const qint64 other = t.elapsed();
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
    EXPECT_GE(t.elapsed(), 900);
    EXPECT_LT(other, t.elapsed() / 2);

    qInstallMessageHandler(previous);
    EXPECT_EQ(logged, 1);
}

} // namespace
