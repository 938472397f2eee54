// SPDX-License-Identifier: MIT
#include "server/exchangeserver.h"

#include "comm/ipc/protocol.h"
#include "comm/ipc/servererror.h"
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

// Compares without giving away how many leading characters matched.
bool sameToken(const QString& a, const QString& b) {
    const QByteArray x = a.toUtf8(), y = b.toUtf8();
    unsigned diff = unsigned(x.size() ^ y.size());
    for (qsizetype i = 0; i < x.size(); ++i)
        diff |= unsigned(quint8(x[i]) ^ quint8(y.isEmpty() ? 0 : y[i % y.size()]));
    return diff == 0 && !y.isEmpty();
}

bool peerIsThisUser(QLocalSocket* socket) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return false;
    return cred.uid == ::getuid();
}

} // namespace

// ---- ClientConnection ----

ClientConnection::ClientConnection(ExchangeServer* server, QIODevice* socket, const QString& peer)
    : QObject(server), m_server(server), m_socket(socket), m_peer(peer), m_remote(!peer.isEmpty()) {
    m_socket->setParent(this);
    connect(m_socket, &QIODevice::readyRead, this, &ClientConnection::onReadyRead);
    if (auto* local = qobject_cast<QLocalSocket*>(m_socket))
        connect(local, &QLocalSocket::disconnected, this, [this] { abort(QString()); });
    else if (auto* tcp = qobject_cast<QTcpSocket*>(m_socket))
        connect(tcp, &QTcpSocket::disconnected, this, [this] { abort(QString()); });
    // Until the greeting only a small frame is read, and the socket buffers no more than it.
    const ConnectionLimits& limits = server->limits();
    m_reader.setMaxPayload(limits.maxGreetingPayload);
    if (auto* tcp = qobject_cast<QTcpSocket*>(m_socket))
        tcp->setReadBufferSize(qint64(limits.maxGreetingPayload) + 4);
    m_stallTimer.setSingleShot(true);
    connect(&m_stallTimer, &QTimer::timeout, this, [this] {
        abort(m_greeted ? QStringLiteral("unfinished message") : QStringLiteral("no greeting"));
    });
    m_stallTimer.start(limits.greetingTimeoutMs);
}

ClientConnection::~ClientConnection() {
    releaseAll();
}

void ClientConnection::abort(const QString& why) {
    if (m_closed)
        return;
    m_closed = true;
    if (!why.isEmpty() && !m_greeted)
        m_server->logRefused(m_peer, why);
    else if (!why.isEmpty())
        qWarning().noquote() << "exchange server: closing a client connection:" << why;
    m_stallTimer.stop();
    releaseAll();
    m_socket->disconnect(this);
    if (auto* local = qobject_cast<QLocalSocket*>(m_socket))
        local->abort();
    else if (auto* tcp = qobject_cast<QTcpSocket*>(m_socket))
        tcp->abort();
    emit closed(this);
}

void ClientConnection::sendEvent(quint32 objectId, quint8 kind, const QVariantList& args) {
    if (m_closed)
        return;
    QVariantList message{QVariant::fromValue(quint8(mkEvent)), QVariant::fromValue(quint32(0)),
                         QVariant::fromValue(objectId), QVariant::fromValue(kind)};
    message.append(args);
    if (m_socket->bytesToWrite() > kMaxUnsentBytes) {
        abort(QStringLiteral("client does not read its events"));
        return;
    }
    try {
        m_socket->write(encodeFrame(message));
    } catch (const comm::ServerError& e) {
        qWarning().noquote() << "exchange server: event not sent:" << e.message();
    }
}

void ClientConnection::sendReply(quint32 callId, qint32 status, const QString& error,
                                 const QVariant& value) {
    if (m_closed)
        return;
    const QVariantList message{QVariant::fromValue(quint8(mkReply)),
                               QVariant::fromValue(callId),
                               QVariant::fromValue(quint32(0)),
                               QVariant::fromValue(status),
                               error,
                               value};
    try {
        m_socket->write(encodeFrame(message));
    } catch (const comm::ServerError& e) {
        // A value that cannot travel: say so instead of leaving the caller waiting.
        m_socket->write(
            encodeFrame({QVariant::fromValue(quint8(mkReply)), QVariant::fromValue(callId),
                         QVariant::fromValue(quint32(0)), QVariant::fromValue(qint32(rsFailed)),
                         e.message(), QVariant()}));
    }
}

void ClientConnection::onReadyRead() {
    // A greeting waiting for its token check holds back what came after it.
    if (m_closed || m_greetingWaits)
        return;
    for (;;) {
        // Before the greeting no more than its largest frame is read; its deadline stays.
        const bool greetedBefore = m_greeted;
        const qint64 room = 4 + qint64(m_reader.maxPayload()) - m_reader.buffered();
        m_reader.append(m_greeted ? m_socket->readAll() : m_socket->read(qMax<qint64>(room, 0)));
        for (;;) {
            QVariantList message;
            const auto status = m_reader.next(message);
            if (status == FrameReader::Status::Broken) {
                abort(m_reader.errorText());
                return;
            }
            if (status == FrameReader::Status::NeedMore)
                break;
            handle(message);
            if (m_closed || m_greetingWaits)
                return;
        }
        // Just greeted: what the client sent after the greeting may wait in the socket.
        if (greetedBefore || !m_greeted || m_socket->bytesAvailable() == 0)
            break;
    }
    if (!m_greeted)
        return;
    if (m_reader.buffered() > 0)
        m_stallTimer.start(ExchangeServer::kStallTimeoutMs);
    else
        m_stallTimer.stop();
}

void ClientConnection::handle(const QVariantList& message) {
    bool ok = false;
    const quint8 kind = quint8(message.value(0).toUInt(&ok));
    const quint32 callId = message.value(1).toUInt();
    const quint32 objectId = message.value(2).toUInt();
    if (!ok || message.size() < 3) {
        abort(QStringLiteral("malformed request"));
        return;
    }
    const QVariantList args = message.mid(3);
    if (!m_greeted) {
        greet(callId, kind, args);
        return;
    }
    Request request{kind, objectId, args, callId};
    try {
        const QVariant value = dispatch(request);
        if (!request.deferred)
            sendReply(callId, rsOk, QString(), value);
    } catch (const comm::ServerError& e) {
        sendReply(callId, rsFailed, e.message(), QVariant());
    }
}

void ClientConnection::greet(quint32 callId, quint8 kind, const QVariantList& args) {
    if (kind != mkHello) {
        abort(QStringLiteral("request before the greeting"));
        return;
    }
    if (m_remote) {
        // After wrong tokens from this address the check waits (within the greeting deadline).
        if (const qint64 wait = m_server->tokenCheckDelay(m_peer); wait > 0) {
            m_greetingWaits = true;
            QTimer::singleShot(int(wait), this, [this, callId, args] {
                m_greetingWaits = false;
                if (!m_closed)
                    greet(callId, mkHello, args);
                if (m_greeted)
                    onReadyRead(); // requests sent right after the greeting
            });
            return;
        }
        const bool right = sameToken(args.value(0).toString(), m_server->token());
        m_server->tokenChecked(m_peer, right);
        if (!right) {
            abort(QStringLiteral("wrong access token"));
            return;
        }
    }
    m_greeted = true;
    m_stallTimer.stop();
    m_reader.setMaxPayload(kMaxFramePayload);
    if (auto* tcp = qobject_cast<QTcpSocket*>(m_socket))
        tcp->setReadBufferSize(0);
    sendReply(callId, rsOk, QString(), QVariant());
}

MasterObject* ClientConnection::master(quint32 id) {
    return m_masters.value(id).get();
}

TransportObject* ClientConnection::transportByChannel(qint32 channelId) {
    for (const auto& t : std::as_const(m_transports))
        if (t->channel && t->channel->id() == channelId)
            return t.get();
    return nullptr;
}

namespace {

// Settings parsed by `parse`, or the ServerError that says why they cannot be.
template <typename Settings>
Settings parsedSettings(bool (*parse)(const QVariant&, Settings&, QString*),
                        const QVariant& value) {
    QString why;
    Settings settings;
    if (!parse(value, settings, &why))
        throw comm::ServerError(why);
    return settings;
}

} // namespace

TransportObject& ClientConnection::transportObject(quint32 id) {
    auto t = m_transports.value(id);
    if (!t)
        throw comm::ServerError(QStringLiteral("no transport object %1").arg(id));
    return *t;
}

MasterObject& ClientConnection::masterObject(quint32 id) {
    auto m = m_masters.value(id);
    if (!m)
        throw comm::ServerError(QStringLiteral("no master object %1").arg(id));
    return *m;
}

void ClientConnection::reportState(TransportObject& t, qint32 newState, qint32 channelId) {
    const qint32 old = t.state;
    t.state = newState;
    sendEvent(
        t.id, ekStateChanged,
        {QVariant::fromValue(old), QVariant::fromValue(newState), QVariant::fromValue(channelId)});
}

QVariant ClientConnection::dispatch(Request& r) {
    using Handler = QVariant (ClientConnection::*)(Request&);
    static const QHash<quint8, Handler> handlers = {
        {mkHello, &ClientConnection::hello},
        {mkServerInfo, &ClientConnection::serverInfo},
        {mkCreateObject, &ClientConnection::createObject},
        {mkReleaseObject, &ClientConnection::releaseRequest},
        {mkAttachClient, &ClientConnection::attachOrDetachClient},
        {mkDetachClient, &ClientConnection::attachOrDetachClient},
        {mkTransportSetProps, &ClientConnection::transportSetProps},
        {mkTransportSetConnected, &ClientConnection::transportSetConnected},
        {mkTransportGetConnected, &ClientConnection::transportGetConnected},
        {mkTransportGetID, &ClientConnection::transportGetID},
        {mkTransportAddTask, &ClientConnection::transportAddTask},
        {mkMasterSetProps, &ClientConnection::masterSetProps},
        {mkMasterSetTransportID, &ClientConnection::masterSetTransportID},
        {mkMasterAddTask, &ClientConnection::masterAddTask},
        {mkMasterAddInplaceTask, &ClientConnection::masterAddTask},
        {mkMasterFreeTask, &ClientConnection::masterFreeTask},
        {mkMasterFreeAllTasks, &ClientConnection::masterFreeAllTasks},
    };
    const Handler handler = handlers.value(r.kind);
    if (!handler)
        throw comm::ServerError(QStringLiteral("unknown request %1").arg(r.kind));
    return (this->*handler)(r);
}

QVariant ClientConnection::hello(Request&) {
    return {};
}

QVariant ClientConnection::serverInfo(Request&) {
    return QVariantList{QVariant::fromValue(qint64(QCoreApplication::applicationPid()))};
}

QVariant ClientConnection::createObject(Request& r) {
    const quint8 objectKind = quint8(r.args.value(0).toUInt());
    if (m_transports.size() + m_masters.size() >= 1024)
        throw comm::ServerError(QStringLiteral("too many objects"));
    const quint32 id = m_nextObject++;
    if (objectKind == okTransport) {
        auto t = std::make_shared<TransportObject>();
        t->id = id;
        m_transports.insert(id, t);
    } else if (objectKind == okMaster) {
        auto m = std::make_shared<MasterObject>();
        m->id = id;
        m->key = m_server->newMasterKey();
        m_server->registerMaster(m->key, this, id);
        m_masters.insert(id, m);
    } else {
        throw comm::ServerError(QStringLiteral("unknown object kind %1").arg(objectKind));
    }
    return QVariant::fromValue(id);
}

QVariant ClientConnection::releaseRequest(Request& r) {
    releaseObject(r.objectId);
    return {};
}

QVariant ClientConnection::attachOrDetachClient(Request& r) {
    if (!m_transports.contains(r.objectId) && !m_masters.contains(r.objectId))
        throw comm::ServerError(QStringLiteral("no object %1").arg(r.objectId));
    if (r.kind == mkAttachClient)
        m_processes.insert(r.args.value(0).toLongLong());
    else
        m_processes.remove(r.args.value(0).toLongLong());
    return {};
}

QVariant ClientConnection::transportSetProps(Request& r) {
    TransportObject& t = transportObject(r.objectId);
    t.settings = parsedSettings(parseTransportSettings, r.args.value(0));
    if (t.channel)
        t.channel->applySettings(t.settings);
    return {};
}

QVariant ClientConnection::transportSetConnected(Request& r) {
    TransportObject& t = transportObject(r.objectId);
    const bool wanted = r.args.value(0).toBool();
    if (wanted && !t.channel) {
        QString why;
        t.channel = m_server->openChannel(this, t.id, t.settings, &why);
        if (t.channel) {
            reportState(t, tsOpen, t.channel->id());
        } else {
            qWarning().noquote() << "exchange server:" << why;
            reportState(t, tsClosed, -1);
        }
    } else if (wanted) {
        reportState(t, tsOpen, t.channel->id());
    } else {
        if (t.channel) {
            const qint32 id = t.channel->id();
            t.channel = nullptr;
            m_server->closeChannel(id);
        }
        reportState(t, tsClosed, -1);
    }
    return {};
}

QVariant ClientConnection::transportGetConnected(Request& r) {
    return transportObject(r.objectId).channel != nullptr;
}

QVariant ClientConnection::transportGetID(Request& r) {
    const TransportObject& t = transportObject(r.objectId);
    return QVariant::fromValue(qint32(t.channel ? t.channel->id() : -1));
}

QVariant ClientConnection::transportAddTask(Request& r) {
    transportObject(r.objectId);
    throw comm::ServerError(QStringLiteral("transport tasks are not supported"));
}

QVariant ClientConnection::masterSetProps(Request& r) {
    masterObject(r.objectId).settings = parsedSettings(parseMasterSettings, r.args.value(0));
    return {};
}

QVariant ClientConnection::masterSetTransportID(Request& r) {
    masterObject(r.objectId).transportId = r.args.value(0).toInt();
    return {};
}

// Queued tasks are answered with an exchange event, in-place ones with the call's reply (which
// is deferred until the channel has run the task).
QVariant ClientConnection::masterAddTask(Request& r) {
    MasterObject& m = masterObject(r.objectId);
    ChannelJob job;
    job.masterKey = m.key;
    job.task = r.args.value(0);
    job.settings = m.settings;
    job.inplace = r.kind == mkMasterAddInplaceTask;
    job.callId = r.callId;
    job.qid = job.task.toList().value(TaskHead::QID).toInt();
    Channel* ch = m.transportId >= 0 ? m_server->channel(m.transportId) : nullptr;
    if (!ch || !ch->isOpen()) {
        TaskOutcome outcome;
        outcome.result = rcNoTransport;
        const QVariantList answer = answerArray(planTask(job.task, job.settings), outcome);
        if (job.inplace)
            return answer;
        sendEvent(m.id, ekExchange, QVariantList{QVariant(answer)});
        return {};
    }
    if (ch->waitingCount() >= Channel::kMaxWaiting)
        throw comm::ServerError(
            QStringLiteral("too many tasks waiting on channel %1").arg(m.transportId));
    r.deferred = job.inplace;
    ch->enqueue(job);
    return {};
}

QVariant ClientConnection::masterFreeTask(Request& r) {
    const qint32 qid = r.args.value(0).toInt();
    m_server->dropTasks(masterObject(r.objectId).key,
                        [qid](const ChannelJob& j) { return !j.inplace && j.qid == qid; });
    return {};
}

QVariant ClientConnection::masterFreeAllTasks(Request& r) {
    m_server->dropTasks(masterObject(r.objectId).key,
                        [](const ChannelJob& j) { return !j.inplace; });
    return {};
}

void ClientConnection::releaseObject(quint32 id) {
    if (auto m = m_masters.take(id)) {
        m_server->dropTasks(m->key, [](const ChannelJob&) { return true; });
        m_server->unregisterMaster(m->key);
        return;
    }
    if (auto t = m_transports.take(id)) {
        if (t->channel) {
            const qint32 channelId = t->channel->id();
            t->channel = nullptr;
            m_server->closeChannel(channelId);
        }
        return;
    }
    throw comm::ServerError(QStringLiteral("no object %1").arg(id));
}

void ClientConnection::releaseAll() {
    const auto masters = m_masters.keys();
    for (quint32 id : masters)
        releaseObject(id);
    const auto transports = m_transports.keys();
    for (quint32 id : transports)
        releaseObject(id);
}

// ---- ExchangeServer ----

ExchangeServer::ExchangeServer(QObject* parent) : QObject(parent) {
    registerJournalFunction();
    m_clock.start();
    m_logTimer.setSingleShot(true);
    connect(&m_logTimer, &QTimer::timeout, this, [this] {
        if (m_logSuppressed == 0)
            return;
        qWarning().noquote() << "exchange server:" << m_logSuppressed
                             << "more connections closed before their greeting in the last"
                             << m_limits.logIntervalMs / 1000 << "s";
        m_logSuppressed = 0;
        m_logTimer.start(m_limits.logIntervalMs);
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
            accept(s, QString());
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
        while (QTcpSocket* s = m_tcp->nextPendingConnection()) {
            const QString peer = s->peerAddress().toString();
            if (!admitTcp(peer)) {
                logRefused(peer, QStringLiteral("too many connections"));
                s->abort();
                s->deleteLater();
                continue;
            }
            accept(s, peer);
        }
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

void ExchangeServer::accept(QIODevice* socket, const QString& peer) {
    auto* client = new ClientConnection(this, socket, peer);
    m_clients.insert(client);
    if (!peer.isEmpty()) {
        m_tcpOrder.append(client);
        ++m_peers[peer].connections;
    }
    connect(client, &ClientConnection::closed, this, [this](ClientConnection* c) {
        m_clients.remove(c);
        if (m_tcpOrder.removeOne(c)) {
            const auto it = m_peers.find(c->peer());
            if (it != m_peers.end() && --it->connections <= 0 && it->failures == 0)
                m_peers.erase(it);
        }
        c->deleteLater();
        updateIdle();
    });
    updateIdle();
}

bool ExchangeServer::admitTcp(const QString& peer) {
    if (m_peers.value(peer).connections >= m_limits.maxPerPeer)
        return false;
    if (m_tcpOrder.size() < m_limits.maxConnections)
        return true;
    const auto oldest = std::find_if(m_tcpOrder.cbegin(), m_tcpOrder.cend(),
                                     [](const ClientConnection* c) { return !c->greeted(); });
    if (oldest == m_tcpOrder.cend())
        return false;
    (*oldest)->abort(QStringLiteral("room made for a newer connection"));
    return true;
}

qint64 ExchangeServer::tokenCheckDelay(const QString& peer) {
    const auto it = m_peers.find(peer);
    if (it == m_peers.end() || it->failures == 0)
        return 0;
    const qint64 now = m_clock.elapsed();
    if (now - it->lastFailure > m_limits.tokenFailureMemoryMs) {
        it->failures = 0;
        return 0;
    }
    return qMax<qint64>(it->nextCheck - now, 0);
}

void ExchangeServer::tokenChecked(const QString& peer, bool right) {
    Peer& p = m_peers[peer];
    if (right) {
        p.failures = 0;
        return;
    }
    ++p.failures;
    p.lastFailure = m_clock.elapsed();
    const qint64 delay = qint64(m_limits.firstTokenDelayMs) << qMin(p.failures - 1, 20);
    p.nextCheck = p.lastFailure + qMin<qint64>(delay, m_limits.maxTokenDelayMs);
    // Addresses that only failed long ago are forgotten.
    if (m_peers.size() > 4 * m_limits.maxConnections)
        m_peers.removeIf([this](const QHash<QString, Peer>::iterator it) {
            return it->connections <= 0 &&
                   m_clock.elapsed() - it->lastFailure > m_limits.tokenFailureMemoryMs;
        });
}

void ExchangeServer::logRefused(const QString& peer, const QString& why) {
    if (m_logTimer.isActive()) {
        ++m_logSuppressed;
        return;
    }
    qWarning().noquote() << "exchange server: closing a connection from"
                         << (peer.isEmpty() ? QStringLiteral("the local socket") : peer)
                         << "before its greeting:" << why;
    m_logTimer.start(m_limits.logIntervalMs);
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
