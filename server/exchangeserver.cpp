// SPDX-License-Identifier: MIT
#include "server/exchangeserver.h"

#include "comm/ipc/protocol.h"
#include "server/clientconnection.h"
#include "server/modbusext.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace server {

using namespace comm::ipc;

namespace {

bool peerIsThisUser(QLocalSocket* socket) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return false;
    return cred.uid == ::getuid();
}

} // namespace

ExchangeServer::ExchangeServer(QObject* parent) : QObject(parent) {
    registerJournalFunction();
    m_logTimer.setSingleShot(true);
    connect(&m_logTimer, &QTimer::timeout, this, [this] {
        const int counted = m_admission.endLogInterval();
        if (counted == 0)
            return;
        qWarning().noquote() << "exchange server:" << counted
                             << "more connections closed before their greeting in the last"
                             << limits().logIntervalMs / 1000 << "s";
        m_logTimer.start(limits().logIntervalMs);
    });
    m_idle.setSingleShot(true);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        if (m_clients.isEmpty())
            QCoreApplication::quit();
    });
}

ExchangeServer::~ExchangeServer() {
    const auto clients = m_clients;
    for (ClientConnection* c : clients)
        delete c;
    m_clients.clear();
    qDeleteAll(m_channels);
    m_channels.clear();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

bool ExchangeServer::listenLocal(const QString& socketPath, QString* why) {
    const QFileInfo info(socketPath);
    const QString dir = info.absolutePath();
    const QByteArray dirPath = QFile::encodeName(dir);
    ::mkdir(dirPath.constData(), 0700);
    struct stat st {};
    if (::lstat(dirPath.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0) {
        if (why)
            *why = QStringLiteral("the socket folder %1 must be a folder of this user that no "
                                  "one else can open (mode 0700)")
                       .arg(dir);
        return false;
    }
    // One server per socket: the lock is held for the life of the process.
    // The kernel drops the lock when the process ends, however it ends.
    m_lockFd = ::open(QFile::encodeName(socketPath + QStringLiteral(".lock")).constData(),
                      O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0 || ::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        if (why)
            *why = QStringLiteral("another exchange server uses %1").arg(socketPath);
        return false;
    }
    QLocalServer::removeServer(socketPath);
    m_local = new QLocalServer(this);
    // The socket is born readable and writable by its owner only (no window before a chmod).
    const mode_t oldMask = ::umask(0177);
    const bool listening = m_local->listen(socketPath);
    ::umask(oldMask);
    if (!listening) {
        if (why)
            *why = m_local->errorString();
        return false;
    }
    connect(m_local, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* s = m_local->nextPendingConnection()) {
            if (!peerIsThisUser(s)) {
                s->abort();
                s->deleteLater();
                continue;
            }
            accept(s, QString(), m_nextConnection++);
        }
    });
    return true;
}

bool ExchangeServer::listenTcp(const QHostAddress& address, quint16 port, const QString& token,
                               QString* why) {
    if (token.isEmpty()) {
        if (why)
            *why = QStringLiteral("listening on TCP needs an access token");
        return false;
    }
    m_token = token;
    m_tcp = new QTcpServer(this);
    if (!m_tcp->listen(address, port)) {
        if (why)
            *why = m_tcp->errorString();
        return false;
    }
    connect(m_tcp, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = m_tcp->nextPendingConnection())
            acceptTcp(s);
    });
    return true;
}

quint16 ExchangeServer::tcpPort() const {
    return m_tcp ? m_tcp->serverPort() : 0;
}

void ExchangeServer::setExitWhenIdle(int idleMs) {
    m_idleMs = idleMs;
    updateIdle();
}

void ExchangeServer::updateIdle() {
    if (m_idleMs < 0)
        return;
    if (m_clients.isEmpty())
        m_idle.start(m_idleMs);
    else
        m_idle.stop();
}

void ExchangeServer::acceptTcp(QTcpSocket* socket) {
    const QString peer = socket->peerAddress().toString();
    const quint64 id = m_nextConnection++;
    const TcpAdmission::Verdict verdict = m_admission.admit(id, peer);
    if (!verdict.admitted) {
        logRefused(peer, QStringLiteral("too many connections"));
        socket->abort();
        socket->deleteLater();
        return;
    }
    if (verdict.evicted) {
        const auto evicted = std::find_if(m_clients.cbegin(), m_clients.cend(),
                                          [&](auto* c) { return c->id() == *verdict.evicted; });
        if (evicted != m_clients.cend())
            (*evicted)->abort(QStringLiteral("room made for a newer connection"));
    }
    accept(socket, peer, id);
}

void ExchangeServer::accept(QIODevice* socket, const QString& peer, quint64 id) {
    auto* client = new ClientConnection(this, socket, peer, id);
    m_clients.insert(client);
    connect(client, &ClientConnection::closed, this, [this](ClientConnection* c) {
        m_clients.remove(c);
        if (!c->peer().isEmpty())
            m_admission.closed(c->id());
        c->deleteLater();
        updateIdle();
    });
    updateIdle();
}

void ExchangeServer::logRefused(const QString& peer, const QString& why) {
    if (!m_admission.logRefusal())
        return;
    qWarning().noquote() << "exchange server: closing a connection from"
                         << (peer.isEmpty() ? QStringLiteral("the local socket") : peer)
                         << "before its greeting:" << why;
    m_logTimer.start(limits().logIntervalMs);
}

Channel* ExchangeServer::openChannel(ClientConnection* owner, quint32 transportObject,
                                     const TransportSettings& settings, QString* why) {
    const qint32 id = m_nextChannel++;
    auto* ch = new Channel(id, settings, [this](const ChannelJob& job, const QVariantList& answer) {
        deliver(job, answer);
    });
    if (!ch->open(why)) {
        delete ch;
        return nullptr;
    }
    m_channels.insert(id, ch);
    m_channelOwners.insert(id, MasterRef{owner, transportObject});
    connect(ch, &Channel::portLost, this, [this, id] {
        const MasterRef ref = m_channelOwners.value(id);
        if (ref.owner)
            if (TransportObject* t = ref.owner->transportByChannel(id)) {
                t->channel = nullptr;
                const qint32 old = t->state;
                t->state = 0;
                closeChannel(id);
                ref.owner->sendEvent(ref.objectId, ekStateChanged,
                                     {QVariant::fromValue(old), QVariant::fromValue(qint32(0)),
                                      QVariant::fromValue(qint32(-1))});
                return;
            }
        closeChannel(id);
    });
    return ch;
}

void ExchangeServer::closeChannel(qint32 id) {
    Channel* ch = m_channels.take(id);
    m_channelOwners.remove(id);
    if (!ch)
        return;
    ch->close();
    ch->deleteLater();
}

void ExchangeServer::registerMaster(quint64 key, ClientConnection* owner, quint32 objectId) {
    m_masterRefs.insert(key, MasterRef{owner, objectId});
}

void ExchangeServer::unregisterMaster(quint64 key) {
    m_masterRefs.remove(key);
}

void ExchangeServer::dropTasks(quint64 masterKey,
                               const std::function<bool(const ChannelJob&)>& which) {
    for (Channel* ch : std::as_const(m_channels))
        ch->removeWaiting(
            [&](const ChannelJob& j) { return j.masterKey == masterKey && which(j); });
}

void ExchangeServer::deliver(const ChannelJob& job, const QVariantList& answer) {
    const MasterRef ref = m_masterRefs.value(job.masterKey);
    if (!ref.owner)
        return; // the master or its client has gone
    if (job.inplace)
        ref.owner->sendReply(job.callId, rsOk, QString(), answer);
    else
        ref.owner->sendEvent(ref.objectId, ekExchange, QVariantList{QVariant(answer)});
}

} // namespace server
