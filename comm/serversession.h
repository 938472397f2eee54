// SPDX-License-Identifier: MIT
#pragma once

#include "comm/ipc/framecodec.h"
#include "comm/serverlocation.h"

#include <QHash>
#include <QIODevice>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QVariantList>

#include <memory>

namespace comm {

// Receives the events of one server object.
class IServerEventReceiver {
public:
    virtual ~IServerEventReceiver() = default;
    virtual void serverEvent(quint8 kind, const QVariantList& args) = 0;
    // The connection to the server is gone (server ended or unreachable).
    virtual void serverLost() = 0;
};

// The connection of this thread to one exchange server. Calls are synchronous: the request is
// written and the reply awaited on the calling thread. Events that arrive meanwhile are kept and
// handed to their objects later from the thread's event loop, so a handler never runs inside
// another call. Sessions are shared by all server objects of a thread that use the same location.
class ServerSession : public QObject, public std::enable_shared_from_this<ServerSession> {
    Q_OBJECT
public:
    // The session of this thread for the location: an open one, else a new connection. For the
    // local server: when nothing listens, the server program is started and the connection
    // retried for a bounded time. Throws ServerError when no connection can be made.
    [[nodiscard]] static std::shared_ptr<ServerSession> obtain(const ServerLocation& location);

    ~ServerSession() override;

    // Sends a request and waits for its reply. timeoutMs < 0 waits until the reply arrives or the
    // connection ends. Throws ServerError on a refused call, a lost connection or a timeout.
    QVariant call(quint8 kind, quint32 objectId, const QVariantList& args = {},
                  int timeoutMs = kDefaultCallTimeoutMs);

    void subscribe(quint32 objectId, IServerEventReceiver* receiver);
    void unsubscribe(quint32 objectId);

    bool isAlive() const { return m_alive; }
    const ServerLocation& location() const { return m_location; }

    static constexpr int kDefaultCallTimeoutMs = 30000;
    static constexpr int kStartTimeoutMs = 10000;

private:
    explicit ServerSession(const ServerLocation& location);
    void open();
    bool tryConnect(int timeoutMs);
    void onReadyRead();
    void onDisconnected();
    // Reads what has arrived; false when the stream broke.
    bool drain();
    void markLost(const QString& why);
    void scheduleDelivery();
    void deliver();

    ServerLocation m_location;
    QIODevice* m_socket = nullptr;
    ipc::FrameReader m_reader;
    bool m_alive = false;
    bool m_lostNotified = false;
    QString m_lostReason;
    quint32 m_nextCall = 0;
    int m_syncDepth = 0;
    bool m_deliveryScheduled = false;
    QSet<quint32> m_awaiting;
    QHash<quint32, QVariantList> m_replies;
    QList<QVariantList> m_pendingEvents;
    QHash<quint32, IServerEventReceiver*> m_receivers;
};

} // namespace comm
