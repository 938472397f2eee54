// SPDX-License-Identifier: MIT
#pragma once

#include "comm/ipc/framecodec.h"
#include "server/modbustask.h"

#include <QHash>
#include <QIODevice>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <memory>

namespace server {

class Channel;
class ExchangeServer;

// A transport object of a client: channel settings and, while open, the channel.
struct TransportObject {
    quint32 id = 0;
    TransportSettings settings;
    Channel* channel = nullptr; // owned by the server
    qint32 state = 0;
};

// A master object of a client: protocol settings and the channel it is bound to.
struct MasterObject {
    quint32 id = 0;
    quint64 key = 0; // unique over the server's life
    MasterSettings settings;
    qint32 transportId = -1;
};

// One connected client. Its objects live as long as the connection.
class ClientConnection : public QObject {
    Q_OBJECT
public:
    // `peer` names the remote address (empty for the local socket); `id` is the server's number
    // of the connection.
    ClientConnection(ExchangeServer* server, QIODevice* socket, const QString& peer, quint64 id);
    ~ClientConnection() override;

    // A client whose unread events pile up beyond this is cut off.
    static constexpr qint64 kMaxUnsentBytes = 16 * 1024 * 1024;

    void sendEvent(quint32 objectId, quint8 kind, const QVariantList& args);
    void sendReply(quint32 callId, qint32 status, const QString& error, const QVariant& value);
    // Closes this connection only.
    void abort(const QString& why);
    MasterObject* master(quint32 id);
    TransportObject* transportByChannel(qint32 channelId);
    bool greeted() const { return m_greeted; }
    const QString& peer() const { return m_peer; }
    quint64 id() const { return m_id; }

signals:
    void closed(ClientConnection* self);

private:
    void onReadyRead();
    void handle(const QVariantList& message);
    void greet(quint32 callId, quint8 kind, const QVariantList& args);
    void releaseAll();
    void releaseObject(quint32 id);

    // A request of the client; deferred: the reply is sent later (an in-place task).
    struct Request {
        quint8 kind = 0;
        quint32 objectId = 0;
        const QVariantList& args;
        quint32 callId = 0;
        bool deferred = false;
    };
    // Runs the request's handler; its value goes back in the reply. Throws comm::ServerError
    // when the request is refused.
    QVariant dispatch(Request& r);
    // The handlers, one a request kind.
    QVariant hello(Request& r);
    QVariant serverInfo(Request& r);
    QVariant createObject(Request& r);
    QVariant releaseRequest(Request& r);
    QVariant attachOrDetachClient(Request& r);
    QVariant transportSetProps(Request& r);
    QVariant transportSetConnected(Request& r);
    QVariant transportGetConnected(Request& r);
    QVariant transportGetID(Request& r);
    QVariant transportAddTask(Request& r);
    QVariant masterSetProps(Request& r);
    QVariant masterSetTransportID(Request& r);
    QVariant masterAddTask(Request& r);
    QVariant masterFreeTask(Request& r);
    QVariant masterFreeAllTasks(Request& r);
    TransportObject& transportObject(quint32 id);
    MasterObject& masterObject(quint32 id);
    void reportState(TransportObject& t, qint32 newState, qint32 channelId);

    ExchangeServer* m_server;
    QIODevice* m_socket;
    QString m_peer;
    quint64 m_id;
    bool m_remote;
    bool m_greeted = false;
    // Its token waits for the check (wrong tokens came before it); nothing after it is read.
    bool m_greetingWaits = false;
    bool m_closed = false;
    comm::ipc::FrameReader m_reader;
    QTimer m_stallTimer; // missing greeting (fixed deadline) or, after it, an unfinished frame
    quint32 m_nextObject = 1;
    QHash<quint32, std::shared_ptr<TransportObject>> m_transports;
    QHash<quint32, std::shared_ptr<MasterObject>> m_masters;
    QSet<qint64> m_processes;
};

} // namespace server
