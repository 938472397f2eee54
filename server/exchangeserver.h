// SPDX-License-Identifier: MIT
#pragma once

#include "comm/ipc/framecodec.h"
#include "server/channel.h"
#include "server/modbustask.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QIODevice>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <memory>

class QLocalServer;
class QTcpServer;

namespace server {

class ExchangeServer;

// What a connection may do before its greeting, and how many TCP connections there may be. A
// TCP peer presents the token in its greeting; the local socket admits only its user, whose
// connections count against no cap.
struct ConnectionLimits {
    // From the connection's start; bytes that trickle in do not restart it.
    int greetingTimeoutMs = 5000;
    // The greeting frame carries a token and a process id: a larger one closes the connection
    // as soon as its length has arrived, and no more than this is read before the greeting.
    quint32 maxGreetingPayload = 4096;
    // TCP connections of one remote address, greeted or not; more are refused at once.
    int maxPerPeer = 16;
    // TCP connections in all. When full, the oldest connection still without greeting makes
    // room for a new one; when every connection has greeted, the new one is refused.
    int maxConnections = 256;
    // After a wrong token, the next token from that address is checked no sooner than this,
    // doubled with every further failure up to maxTokenDelayMs; greetings that come sooner
    // are refused unchecked. Failures are forgotten after tokenFailureMemoryMs without one.
    int firstTokenDelayMs = 250;
    int maxTokenDelayMs = 8000;
    int tokenFailureMemoryMs = 60000;
    // Connections closed before their greeting are logged once per interval, then counted.
    int logIntervalMs = 10000;
};

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
    // `peer` names the remote address (empty for the local socket).
    ClientConnection(ExchangeServer* server, QIODevice* socket, const QString& peer);
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

// The exchange server: listens on the per-user local socket (and on TCP when asked), keeps the
// clients' objects and the open channels.
class ExchangeServer : public QObject {
    Q_OBJECT
public:
    explicit ExchangeServer(QObject* parent = nullptr);
    ~ExchangeServer() override;

    // Listens on the local socket; false (and why) when the folder is unsafe, another server
    // holds the socket, or listening fails.
    [[nodiscard]] bool listenLocal(const QString& socketPath, QString* why);
    // Listens on TCP; a token is required and every remote client must present it.
    [[nodiscard]] bool listenTcp(const QHostAddress& address, quint16 port, const QString& token,
                                 QString* why);
    quint16 tcpPort() const;

    // Quits the application once no client has been connected for idleMs.
    void setExitWhenIdle(int idleMs);

    void setLimits(const ConnectionLimits& limits) { m_limits = limits; }
    const ConnectionLimits& limits() const { return m_limits; }
    // A connection's greeting: whether a token from its address may be checked now, and the
    // outcome of a check. A connection closed before its greeting is logged through
    // logRefused (rate-limited).
    // Milliseconds until a token from `peer` may be checked (0: now).
    qint64 tokenCheckDelay(const QString& peer);
    void tokenChecked(const QString& peer, bool right);
    void logRefused(const QString& peer, const QString& why);

    int clientCount() const { return int(m_clients.size()); }
    const QString& token() const { return m_token; }

    // Channels.
    Channel* channel(qint32 id) const { return m_channels.value(id); }
    [[nodiscard]] Channel* openChannel(ClientConnection* owner, quint32 transportObject,
                                       const TransportSettings& settings, QString* why);
    void closeChannel(qint32 id);
    quint64 newMasterKey() { return ++m_masterKeys; }
    void registerMaster(quint64 key, ClientConnection* owner, quint32 objectId);
    void unregisterMaster(quint64 key);
    // Drops waiting tasks of a master on every channel.
    void dropTasks(quint64 masterKey, const std::function<bool(const ChannelJob&)>& which);

    static constexpr int kStallTimeoutMs = 10000;

private:
    void accept(QIODevice* socket, const QString& peer);
    // Room for a TCP connection from `peer`; false when it must be refused.
    bool admitTcp(const QString& peer);
    void deliver(const ChannelJob& job, const QVariantList& answer);
    void updateIdle();

    QLocalServer* m_local = nullptr;
    QTcpServer* m_tcp = nullptr;
    int m_lockFd = -1;
    QString m_token;
    QSet<ClientConnection*> m_clients;
    QHash<qint32, Channel*> m_channels;
    qint32 m_nextChannel = 1;
    quint64 m_masterKeys = 0;
    struct MasterRef {
        QPointer<ClientConnection> owner;
        quint32 objectId = 0;
    };
    QHash<quint64, MasterRef> m_masterRefs;
    QHash<qint32, MasterRef> m_channelOwners; // channel id -> owning transport object
    QTimer m_idle;
    int m_idleMs = -1;

    ConnectionLimits m_limits;
    QElapsedTimer m_clock;
    struct Peer {
        int connections = 0;
        int failures = 0;       // wrong tokens in a row
        qint64 lastFailure = 0; // m_clock time
        qint64 nextCheck = 0;   // no token is checked before this m_clock time
    };
    QHash<QString, Peer> m_peers;        // TCP peers with connections or remembered failures
    QList<ClientConnection*> m_tcpOrder; // TCP connections in the order they came
    QTimer m_logTimer;
    int m_logSuppressed = 0;
};

} // namespace server
