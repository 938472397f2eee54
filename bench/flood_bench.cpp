// SPDX-License-Identifier: MIT
// The exchange server (with --listen) under a flood of slow TCP connections that never present
// the token, on loopback, against a legitimate client served meanwhile.
//
//   flood_bench [connections [seconds]]     (defaults 200 and 60)
//
// The slow connections come from 20 loopback addresses (127.0.0.10 ...). Half announce a 1 MiB
// frame and then send a byte every 8 s; half send a greeting one byte a second. Whenever the
// server closes one, it comes back half a second later. Every 200 ms the legitimate client (from
// 127.0.0.1) connects, greets with the token and asks for the server's process id; its time from
// connecting to that answer is what "served" means. Printed: the server's resident memory before
// and during the flood (the largest sample and the kernel's peak), the client's times (median,
// 99th percentile, worst), how many of its attempts failed, and how often the server closed a
// slow connection.
#include "comm/ipc/framecodec.h"
#include "comm/ipc/protocol.h"
#include "peakmemory.h"
#include "serverprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const QString kToken = QStringLiteral("flood-bench-token");

QByteArray frame(quint8 kind, quint32 callId, const QVariantList& args = {}) {
    QVariantList m{QVariant::fromValue(kind), QVariant::fromValue(callId),
                   QVariant::fromValue(quint32(0))};
    m.append(args);
    return comm::ipc::encodeFrame(m);
}

// One slow connection that reconnects whenever the server closes it. Lives in the flood thread.
class SlowClient : public QObject {
public:
    SlowClient(quint16 port, const QHostAddress& from, bool oversized, std::atomic<int>& closes)
        : m_port(port), m_from(from), m_oversized(oversized), m_closes(closes), m_tick(this) {
        if (oversized) {
            m_bytes = QByteArray(4, '\0');
            qToBigEndian<quint32>(1024 * 1024, m_bytes.data());
            m_bytes += QByteArray(64, 'x');
        } else {
            m_bytes = frame(comm::ipc::mkHello, 1, {kToken, qint64(1)});
        }
        connect(&m_tick, &QTimer::timeout, this, &SlowClient::tick);
    }
    void start() { reconnect(); }

private:
    void reconnect() {
        m_socket = std::make_unique<QTcpSocket>();
        m_socket->bind(m_from, 0);
        connect(m_socket.get(), &QTcpSocket::connected, this, [this] {
            m_sent = 0;
            // The oversized frame's length goes at once, then a byte every 8 s.
            if (m_oversized) {
                m_socket->write(m_bytes.left(4));
                m_sent = 4;
            }
            m_tick.start(m_oversized ? 8000 : 1000);
        });
        connect(m_socket.get(), &QTcpSocket::disconnected, this, &SlowClient::closed);
        connect(m_socket.get(), &QTcpSocket::errorOccurred, this, &SlowClient::closed);
        m_socket->connectToHost(QHostAddress::LocalHost, m_port);
    }
    void tick() {
        if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState &&
            m_sent < m_bytes.size() - 1)
            m_socket->write(m_bytes.mid(m_sent++, 1));
    }
    void closed() {
        if (!m_socket)
            return;
        m_tick.stop();
        ++m_closes;
        m_socket->disconnect(this);
        m_socket.release()->deleteLater();
        QTimer::singleShot(500, this, &SlowClient::reconnect);
    }

    quint16 m_port;
    QHostAddress m_from;
    bool m_oversized;
    std::atomic<int>& m_closes;
    QTimer m_tick; // a child, so that it moves to the flood thread with its client
    QByteArray m_bytes;
    qsizetype m_sent = 0;
    std::unique_ptr<QTcpSocket> m_socket;
};

// Connect, greet, ask for the server's process id: milliseconds, or -1 when not served in 5 s.
double serveOnce(quint16 port) {
    QElapsedTimer t;
    t.start();
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(5000))
        return -1;
    comm::ipc::FrameReader reader;
    int replies = 0;
    s.write(frame(comm::ipc::mkHello, 1, {kToken, qint64(1)}));
    s.write(frame(comm::ipc::mkServerInfo, 2));
    while (replies < 2 && t.elapsed() < 5000) {
        if (!s.waitForReadyRead(int(qMax<qint64>(1, 5000 - t.elapsed()))))
            return -1;
        reader.append(s.readAll());
        QVariantList m;
        while (reader.next(m) == comm::ipc::FrameReader::Status::Message)
            ++replies;
    }
    return replies == 2 ? t.nsecsElapsed() / 1e6 : -1;
}

struct Probes {
    std::vector<double> ms;
    int failures = 0;
    long maxRssKb = 0;
};

// Probes every 200 ms for `seconds`, sampling the server's memory as well.
Probes probe(quint16 port, qint64 serverPid, int seconds) {
    Probes p;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < seconds * 1000LL) {
        const double ms = serveOnce(port);
        if (ms < 0)
            ++p.failures;
        else
            p.ms.push_back(ms);
        p.maxRssKb = std::max(p.maxRssKb, ProcessMemoryKb("VmRSS", serverPid));
        QThread::msleep(200);
    }
    std::sort(p.ms.begin(), p.ms.end());
    return p;
}

void report(const char* phase, const Probes& p) {
    const auto at = [&](double q) {
        return p.ms.empty() ? 0.0 : p.ms[std::min(p.ms.size() - 1, std::size_t(q * p.ms.size()))];
    };
    std::printf("%-12s client served %zu times, failed %d; median %.2f ms, p99 %.2f ms, worst "
                "%.2f ms; server memory up to %.1f MB\n",
                phase, p.ms.size(), p.failures, at(0.5), at(0.99), p.ms.empty() ? 0 : p.ms.back(),
                p.maxRssKb / 1024.0);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int connections = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 60;

    fixture::ServerProcess server(QString(),
                                  {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                   QStringLiteral("--token"), kToken});
    QString why;
    if (!server.start(&why)) {
        std::fprintf(stderr, "the exchange server did not start: %s\n", qPrintable(why));
        return 1;
    }
    QString text;
    const QRegularExpression portLine(QStringLiteral("TCP port (\\d+)"));
    fixture::waitFor(
        [&] {
            server.process().waitForReadyRead(10);
            text += server.stderrText();
            return portLine.match(text).hasMatch();
        },
        5000);
    const quint16 port = quint16(portLine.match(text).captured(1).toUInt());
    if (port == 0) {
        std::fprintf(stderr, "no TCP port from the server: %s\n", qPrintable(text));
        return 1;
    }
    std::printf("exchange server pid %lld, TCP port %u; %d slow connections for %d s\n",
                server.pid(), unsigned(port), connections, seconds);

    const Probes before = probe(port, server.pid(), 2);
    report("before", before);

    // The flood runs in a thread of its own, so that the client's times are the server's.
    std::atomic<int> closes{0};
    QThread flood;
    std::vector<SlowClient*> clients;
    for (int i = 0; i < connections; ++i) {
        auto* c =
            new SlowClient(port, QHostAddress(quint32(0x7F00000A + i % 20)), i % 2 == 0, closes);
        c->moveToThread(&flood);
        QObject::connect(&flood, &QThread::finished, c, &QObject::deleteLater);
        clients.push_back(c);
    }
    flood.start();
    for (SlowClient* c : clients)
        QMetaObject::invokeMethod(c, [c] { c->start(); });

    const Probes during = probe(port, server.pid(), seconds);
    report("during flood", during);
    const long peakKb = ProcessMemoryKb("VmHWM", server.pid());
    flood.quit();
    flood.wait();

    std::printf("server peak memory (VmHWM) %.1f MB; slow connections closed by the server %d "
                "times (%.1f a second)\n",
                peakKb / 1024.0, closes.load(), closes.load() / double(seconds));
    const bool memoryOk = during.maxRssKb < 50 * 1024;
    const bool servedOk = during.failures == 0 && !during.ms.empty() && during.ms.back() < 100;
    std::printf("memory under 50 MB: %s; client served in under 100 ms throughout: %s\n",
                memoryOk ? "yes" : "no", servedOk ? "yes" : "no");
    return memoryOk && servedOk ? 0 : 1;
}
