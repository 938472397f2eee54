// SPDX-License-Identifier: MIT
#include "comm/serversession.h"

#include "comm/ipc/protocol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QTcpSocket>
#include <QThread>

#include <map>

namespace comm {

using namespace comm::ipc;

namespace {

// What the user reads when the connection ends (the components show these texts).
const QString kConnectionLost = QStringLiteral("Связь с сервером обмена потеряна");
const QString kServerClosed = QStringLiteral("сервер закрыл соединение");

// Sessions of the current thread by location key.
std::map<QString, std::weak_ptr<ServerSession>>& sessionsOfThread() {
    thread_local std::map<QString, std::weak_ptr<ServerSession>> sessions;
    return sessions;
}

bool socketConnected(QIODevice* socket) {
    if (auto* local = qobject_cast<QLocalSocket*>(socket))
        return local->state() == QLocalSocket::ConnectedState;
    if (auto* tcp = qobject_cast<QAbstractSocket*>(socket))
        return tcp->state() == QAbstractSocket::ConnectedState;
    return false;
}

} // namespace

std::shared_ptr<ServerSession> ServerSession::obtain(const ServerLocation& location) {
    auto& sessions = sessionsOfThread();
    const QString key = location.key();
    if (auto it = sessions.find(key); it != sessions.end()) {
        if (auto existing = it->second.lock(); existing && existing->isAlive())
            return existing;
        sessions.erase(it);
    }
    std::shared_ptr<ServerSession> session(new ServerSession(location));
    session->open(); // throws
    sessions[key] = session;
    return session;
}

ServerSession::ServerSession(const ServerLocation& location) : m_location(location) {}

ServerSession::~ServerSession() {
    auto& sessions = sessionsOfThread();
    if (auto it = sessions.find(m_location.key()); it != sessions.end() && it->second.expired())
        sessions.erase(it);
    if (m_socket) {
        // The session may end inside a signal of its own socket: let the socket go later.
        m_socket->disconnect(this);
        m_socket->deleteLater();
    }
}

bool ServerSession::tryConnect(int timeoutMs) {
    delete m_socket;
    m_socket = nullptr;
    if (m_location.kind == TConnectKind::ckLocal) {
        auto* s = new QLocalSocket;
        m_socket = s;
        s->connectToServer(m_location.socketPath);
        return s->waitForConnected(timeoutMs);
    }
    auto* s = new QTcpSocket;
    m_socket = s;
    s->connectToHost(m_location.host, m_location.port);
    return s->waitForConnected(timeoutMs);
}

void ServerSession::open() {
    if (m_location.kind == TConnectKind::ckLocal && m_location.socketPath.isEmpty()) {
        QString why;
        (void)localServerSocketPath(&why); // only the reason is wanted: there is no path
        throw ServerError(QStringLiteral("Нет папки для сокета сервера обмена: ") + why);
    }
    bool connected = tryConnect(1000);
    if (!connected && m_location.kind == TConnectKind::ckLocal) {
        // No running server: start one from the program directory and wait for its socket.
        const QString program = exchangeServerProgram();
        if (!QFileInfo(program).isExecutable())
            throw ServerError(QStringLiteral("Не найдена программа сервера обмена: ") + program);
        if (!QProcess::startDetached(program, {QStringLiteral("--socket"), m_location.socketPath,
                                               QStringLiteral("--exit-when-idle")}))
            throw ServerError(QStringLiteral("Не удалось запустить сервер обмена ") + program);
        QDeadlineTimer deadline(kStartTimeoutMs);
        while (!connected && !deadline.hasExpired()) {
            QThread::msleep(20);
            connected = tryConnect(500);
        }
    }
    if (!connected)
        throw ServerError(QStringLiteral("Сервер обмена недоступен: ") + m_location.key());
    m_alive = true;
    if (auto* local = qobject_cast<QLocalSocket*>(m_socket))
        connect(local, &QLocalSocket::disconnected, this, &ServerSession::onDisconnected);
    else if (auto* tcp = qobject_cast<QTcpSocket*>(m_socket))
        connect(tcp, &QTcpSocket::disconnected, this, &ServerSession::onDisconnected);
    connect(m_socket, &QIODevice::readyRead, this, &ServerSession::onReadyRead);
    try {
        call(mkHello, 0, {m_location.token, qint64(QCoreApplication::applicationPid())}, 5000);
    } catch (const ServerError& e) {
        m_alive = false;
        throw ServerError(QStringLiteral("Сервер обмена отказал в подключении: ") + e.message());
    }
}

QVariant ServerSession::call(quint8 kind, quint32 objectId, const QVariantList& args,
                             int timeoutMs) {
    if (!m_alive)
        throw ServerError(kConnectionLost + (m_lostReason.isEmpty()
                                                 ? QString()
                                                 : QStringLiteral(": ") + m_lostReason));
    const quint32 id = ++m_nextCall;
    QVariantList message{kind, id, objectId};
    message.append(args);
    const QByteArray frame = encodeFrame(message); // throws on a value that cannot travel

    auto self = shared_from_this(); // a handler may drop the last reference meanwhile
    m_awaiting.insert(id);
    m_socket->write(frame);
    ++m_syncDepth;
    QDeadlineTimer deadline(timeoutMs < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(timeoutMs));
    QString failure;
    while (!m_replies.contains(id)) {
        if (!drain()) {
            failure = kConnectionLost;
            break;
        }
        if (m_replies.contains(id))
            break;
        if (!socketConnected(m_socket)) {
            markLost(kServerClosed);
            failure = kConnectionLost;
            break;
        }
        if (deadline.hasExpired()) {
            failure = QStringLiteral("Сервер обмена не ответил вовремя.");
            break;
        }
        const qint64 left =
            deadline.isForever() ? 1000 : qMin<qint64>(deadline.remainingTime(), 1000);
        if (m_socket->bytesToWrite() > 0)
            m_socket->waitForBytesWritten(int(left));
        else
            m_socket->waitForReadyRead(int(left));
    }
    --m_syncDepth;
    m_awaiting.remove(id); // a late reply to an abandoned call is dropped on arrival
    if (!m_pendingEvents.isEmpty() || (!m_alive && !m_lostNotified))
        scheduleDelivery();
    if (!failure.isEmpty())
        throw ServerError(failure);
    const QVariantList reply = m_replies.take(id);
    const qint32 status = reply.value(3).toInt();
    if (status != rsOk)
        throw ServerError(QStringLiteral("Сервер обмена отклонил запрос: ") +
                          reply.value(4).toString());
    return reply.value(5);
}

bool ServerSession::drain() {
    if (!m_socket)
        return false;
    if (m_socket->bytesAvailable() > 0)
        m_reader.append(m_socket->readAll());
    for (;;) {
        QVariantList message;
        const auto status = m_reader.next(message);
        if (status == ipc::FrameReader::Status::NeedMore)
            return m_alive;
        if (status == ipc::FrameReader::Status::Broken) {
            markLost(QStringLiteral("сервер прислал неверное сообщение (") + m_reader.errorText() +
                     u')');
            return false;
        }
        const quint8 kind = message.value(0).value<quint8>();
        if (kind == mkReply) {
            const quint32 id = message.value(1).toUInt();
            if (m_awaiting.contains(id))
                m_replies.insert(id, message);
        } else if (kind == mkEvent)
            m_pendingEvents.append(message);
    }
}

void ServerSession::onReadyRead() {
    if (m_syncDepth > 0)
        return; // the waiting call reads
    drain();
    if (!m_pendingEvents.isEmpty() || (!m_alive && !m_lostNotified))
        deliver();
}

void ServerSession::onDisconnected() {
    if (m_syncDepth > 0) {
        markLost(kServerClosed);
        return;
    }
    drain();
    markLost(kServerClosed);
    scheduleDelivery();
}

void ServerSession::markLost(const QString& why) {
    if (!m_alive)
        return;
    m_alive = false;
    m_lostReason = why;
    auto& sessions = sessionsOfThread();
    if (auto it = sessions.find(m_location.key());
        it != sessions.end() && it->second.lock().get() == this)
        sessions.erase(it);
    if (m_socket)
        QMetaObject::invokeMethod(
            m_socket, [socket = m_socket] { socket->close(); }, Qt::QueuedConnection);
}

void ServerSession::scheduleDelivery() {
    if (m_deliveryScheduled)
        return;
    m_deliveryScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_deliveryScheduled = false;
            deliver();
        },
        Qt::QueuedConnection);
}

void ServerSession::deliver() {
    if (m_syncDepth > 0) {
        scheduleDelivery();
        return;
    }
    auto self = shared_from_this();
    while (!m_pendingEvents.isEmpty()) {
        const QVariantList event = m_pendingEvents.takeFirst();
        IServerEventReceiver* receiver = m_receivers.value(event.value(2).toUInt());
        if (receiver)
            receiver->serverEvent(event.value(3).value<quint8>(), event.mid(4));
    }
    if (!m_alive && !m_lostNotified) {
        m_lostNotified = true;
        const QList<quint32> ids = m_receivers.keys();
        for (quint32 id : ids)
            if (IServerEventReceiver* receiver = m_receivers.value(id))
                receiver->serverLost();
    }
}

void ServerSession::subscribe(quint32 objectId, IServerEventReceiver* receiver) {
    m_receivers.insert(objectId, receiver);
}

void ServerSession::unsubscribe(quint32 objectId) {
    m_receivers.remove(objectId);
}

} // namespace comm
