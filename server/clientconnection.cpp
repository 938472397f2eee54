// SPDX-License-Identifier: MIT
#include "server/clientconnection.h"

#include "comm/ipc/protocol.h"
#include "comm/ipc/servererror.h"
#include "platform/tokenthrottle.h"
#include "server/channel.h"
#include "server/exchangeserver.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLocalSocket>
#include <QTcpSocket>

namespace server {

using namespace comm::ipc;

ClientConnection::ClientConnection(ExchangeServer* server, QIODevice* socket, const QString& peer,
                                   quint64 id)
    : QObject(server), m_server(server), m_socket(socket), m_peer(peer), m_id(id),
      m_remote(!peer.isEmpty()) {
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
        if (const qint64 wait = m_server->admission().tokenCheckDelay(m_peer); wait > 0) {
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
        const bool right = platform::sameToken(args.value(0).toString(), m_server->token());
        m_server->admission().tokenChecked(m_peer, right);
        if (!right) {
            abort(QStringLiteral("wrong access token"));
            return;
        }
    }
    m_greeted = true;
    if (m_remote)
        m_server->admission().greeted(m_id);
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

} // namespace server
