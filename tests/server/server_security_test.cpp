// SPDX-License-Identifier: MIT
// Who may talk to the exchange server, and what a misbehaving client can do to it.
#include "comm/ipc/framecodec.h"
#include "comm/ipc/protocol.h"
#include "comm/serverobjects.h"
#include "comm/serversession.h"
#include "serverprocess.h"
#include "sim/simulator.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QSet>
#include <QtEndian>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace comm;
using fixture::waitFor;

namespace {

// Inodes of the sockets the process has open.
QSet<QString> socketInodes(qint64 pid) {
    QSet<QString> inodes;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString& fd :
         fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        static const QRegularExpression re(QStringLiteral("socket:\\[(\\d+)\\]"));
        const auto m = re.match(target);
        if (m.hasMatch())
            inodes.insert(m.captured(1));
    }
    // symLinkTarget resolves relative to the folder; read the raw link text too.
    for (const QString& fd :
         fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)) {
        char buf[128] = {};
        const QByteArray path = QFile::encodeName(fds.filePath(fd));
        const ssize_t n = ::readlink(path.constData(), buf, sizeof buf - 1);
        if (n > 0) {
            const QString t = QString::fromLatin1(buf, int(n));
            if (t.startsWith(QLatin1String("socket:[")))
                inodes.insert(t.mid(8, t.size() - 9));
        }
    }
    return inodes;
}

// TCP sockets in the LISTEN state that belong to the process.
int tcpListeners(qint64 pid) {
    const QSet<QString> inodes = socketInodes(pid);
    int count = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile f(QString::fromLatin1(table));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        f.readLine(); // heading
        while (!f.atEnd()) {
            const QStringList cols =
                QString::fromLatin1(f.readLine()).split(u' ', Qt::SkipEmptyParts);
            if (cols.size() > 9 && cols[3] == QLatin1String("0A") && inodes.contains(cols[9]))
                ++count;
        }
    }
    return count;
}

QByteArray frameOf(const QByteArray& payload) {
    QByteArray b(4, '\0');
    qToBigEndian<quint32>(quint32(payload.size()), b.data());
    return b + payload;
}

// Sends bytes on a fresh connection; true when the server then closes it.
bool serverClosesAfter(const QString& socketPath, const QByteArray& bytes, bool greetFirst) {
    QLocalSocket s;
    s.connectToServer(socketPath);
    if (!s.waitForConnected(2000))
        return false;
    if (greetFirst) {
        s.write(ipc::encodeFrame({QVariant::fromValue(quint8(ipc::mkHello)),
                                  QVariant::fromValue(quint32(1)), QVariant::fromValue(quint32(0)),
                                  QString(), qint64(0)}));
        s.waitForBytesWritten(1000);
        s.waitForReadyRead(2000);
        s.readAll();
    }
    s.write(bytes);
    s.waitForBytesWritten(1000);
    QDeadlineTimer deadline(3000);
    while (s.state() == QLocalSocket::ConnectedState && !deadline.hasExpired()) {
        s.waitForReadyRead(100);
        s.readAll();
    }
    return s.state() != QLocalSocket::ConnectedState;
}

// A proper client still gets served.
bool serverAnswers() {
    try {
        auto session = ServerSession::obtain(serverLocationFor(TConnectKind::ckLocal, QString()));
        return session->call(ipc::mkServerInfo, 0).toList().value(0).toLongLong() > 0;
    } catch (const ServerError&) {
        return false;
    }
}

} // namespace

TEST(ServerSecurity, SocketAndFolderAdmitOnlyTheirUser) {
    fixture::ServerProcess server;
    QString why;
    ASSERT_TRUE(server.start(&why)) << why.toStdString();
    struct stat dir {
    }, sock{};
    ASSERT_EQ(
        ::stat(QFile::encodeName(QFileInfo(server.socketPath()).absolutePath()).constData(), &dir),
        0);
    ASSERT_EQ(::stat(QFile::encodeName(server.socketPath()).constData(), &sock), 0);
    EXPECT_TRUE(S_ISDIR(dir.st_mode));
    EXPECT_EQ(dir.st_mode & 0777, 0700u);
    EXPECT_EQ(dir.st_uid, ::getuid());
    EXPECT_TRUE(S_ISSOCK(sock.st_mode));
    EXPECT_EQ(sock.st_mode & 0777, 0600u);
    EXPECT_EQ(sock.st_uid, ::getuid());
}

TEST(ServerSecurity, RefusesAFolderOthersCanOpen) {
    fixture::ServerProcess server;
    const QString dir = server.runtimeDir() + QStringLiteral("/journal");
    QDir().mkpath(dir);
    ::chmod(QFile::encodeName(dir).constData(), 0755);
    QString why;
    EXPECT_FALSE(server.start(&why));
    server.process().waitForFinished(3000);
    EXPECT_EQ(server.process().exitCode(), 1);
}

TEST(ServerSecurity, NothingListensOnTcpByDefault) {
    fixture::ServerProcess server;
    QString why;
    ASSERT_TRUE(server.start(&why)) << why.toStdString();
    EXPECT_FALSE(socketInodes(server.pid()).isEmpty()); // the local socket is seen
    EXPECT_EQ(tcpListeners(server.pid()), 0);
}

TEST(ServerSecurity, TcpNeedsTheToken) {
    fixture::ServerProcess server(QString(),
                                  {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                   QStringLiteral("--token"), QStringLiteral("s3cret")});
    QString why;
    ASSERT_TRUE(server.start(&why)) << why.toStdString();
    QString text;
    const QRegularExpression portLine(QStringLiteral("TCP port (\\d+)"));
    ASSERT_TRUE(waitFor(
        [&] {
            server.process().waitForReadyRead(10);
            text += server.stderrText();
            return portLine.match(text).hasMatch();
        },
        3000))
        << text.toStdString();
    const auto m = portLine.match(text);
    const QString machine = QStringLiteral("127.0.0.1:") + m.captured(1);
    EXPECT_EQ(tcpListeners(server.pid()), 1);

    const QByteArray oldToken = qgetenv("JOURNAL_SERVER_TOKEN");
    qputenv("JOURNAL_SERVER_TOKEN", "wrong");
    TAnyTransport wrong;
    wrong.ConnectKind = TConnectKind::ckRemote;
    wrong.RemoteMachineName = machine;
    EXPECT_THROW(wrong.Connect(), ServerError);
    EXPECT_FALSE(wrong.HasServerObject());

    qputenv("JOURNAL_SERVER_TOKEN", "s3cret");
    TAnyTransport right;
    right.ConnectKind = TConnectKind::ckRemote;
    right.RemoteMachineName = machine;
    EXPECT_NO_THROW(right.Connect());
    qint32 id = 0;
    EXPECT_NO_THROW(right.GetID(id));
    EXPECT_EQ(id, -1);
    qputenv("JOURNAL_SERVER_TOKEN", oldToken);
}

TEST(ServerSecurity, TcpWithoutTokenIsRefused) {
    QProcess p;
    p.start(fixture::serverProgram(), {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")});
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 2);
}

TEST(ServerSecurity, BadFramesCloseOnlyThatConnection) {
    fixture::ServerProcess server;
    QString why;
    ASSERT_TRUE(server.start(&why)) << why.toStdString();
    QByteArray deep;
    for (int i = 0; i < 100; ++i)
        deep += QByteArray("\x0f\x00\x00\x00\x01", 5);
    deep += QByteArray(1, '\0');
    const struct {
        const char* what;
        QByteArray bytes;
        bool greet;
    } cases[] = {
        {"garbage", QByteArray("GET / HTTP/1.1\r\nHost: x\r\n\r\n"), false},
        {"oversized length", QByteArray("\x7f\xff\xff\xff", 4) + QByteArray(64, 'x'), true},
        {"malformed payload", frameOf(QByteArray("\x63\x01\x02", 3)), true},
        {"nesting bomb", frameOf(deep), true},
        {"request before the greeting",
         ipc::encodeFrame({QVariant::fromValue(quint8(ipc::mkServerInfo)),
                           QVariant::fromValue(quint32(1)), QVariant::fromValue(quint32(0))}),
         false},
        {"message kind of the wrong type",
         ipc::encodeFrame({QStringLiteral("x"), QVariant::fromValue(quint32(1))}), true},
    };
    for (const auto& c : cases) {
        // Another client is connected meanwhile and keeps being served.
        ASSERT_TRUE(serverAnswers()) << c.what;
        EXPECT_TRUE(serverClosesAfter(server.socketPath(), c.bytes, c.greet)) << c.what;
        EXPECT_EQ(server.process().state(), QProcess::Running) << c.what;
        EXPECT_TRUE(serverAnswers()) << c.what;
    }
    // A truncated frame followed by the client going away.
    {
        QLocalSocket s;
        s.connectToServer(server.socketPath());
        ASSERT_TRUE(s.waitForConnected(2000));
        s.write(ipc::encodeFrame({QVariant::fromValue(quint8(ipc::mkHello)),
                                  QVariant::fromValue(quint32(1)), QVariant::fromValue(quint32(0)),
                                  QString(), qint64(0)})
                    .left(7));
        s.waitForBytesWritten(1000);
        s.abort();
    }
    EXPECT_TRUE(serverAnswers());
    // Unknown requests are refused without closing.
    auto session = ServerSession::obtain(serverLocationFor(TConnectKind::ckLocal, QString()));
    EXPECT_THROW(session->call(200, 0), ServerError);
    EXPECT_THROW(session->call(ipc::mkTransportSetProps, 12345, {QVariantList{1}}), ServerError);
    EXPECT_TRUE(session->isAlive());
}

TEST(ServerSecurity, ClientThatDisappearsHasItsChannelReleased) {
    sim::Simulator instrument{sim::Instrument()};
    ASSERT_TRUE(instrument.start());
    fixture::ServerProcess server(instrument.clientPath());
    QString why;
    ASSERT_TRUE(server.start(&why)) << why.toStdString();
    const QVariantList props{QVariant::fromValue(quint8(0)),
                             QStringLiteral("COM5"),
                             QVariant::fromValue(4u),
                             QVariant::fromValue(0u),
                             200,
                             10,
                             0};
    {
        // A client opens the channel and vanishes without releasing anything.
        QLocalSocket s;
        s.connectToServer(server.socketPath());
        ASSERT_TRUE(s.waitForConnected(2000));
        auto send = [&](QVariantList m) {
            s.write(ipc::encodeFrame(m));
            s.waitForBytesWritten(1000);
            s.waitForReadyRead(2000);
            s.readAll();
        };
        send({QVariant::fromValue(quint8(ipc::mkHello)), QVariant::fromValue(quint32(1)),
              QVariant::fromValue(quint32(0)), QString(), qint64(0)});
        send({QVariant::fromValue(quint8(ipc::mkCreateObject)), QVariant::fromValue(quint32(2)),
              QVariant::fromValue(quint32(0)), QVariant::fromValue(quint8(ipc::okTransport))});
        send({QVariant::fromValue(quint8(ipc::mkTransportSetProps)),
              QVariant::fromValue(quint32(3)), QVariant::fromValue(quint32(1)), QVariant(props)});
        send({QVariant::fromValue(quint8(ipc::mkTransportSetConnected)),
              QVariant::fromValue(quint32(4)), QVariant::fromValue(quint32(1)), true});
        s.abort();
    }
    // The port is free again: another client can open it.
    TAnyTransport t;
    t.Connect();
    int live = 0;
    t.OnStateChanged = [&](QObject*, qint32, qint32 n, qint32 id) {
        live = (n == 1 && id > 0) ? 1 : -1;
    };
    t.SetProps(props);
    t.SetConnected(true);
    ASSERT_TRUE(waitFor([&] { return live != 0; }));
    EXPECT_EQ(live, 1);
}
