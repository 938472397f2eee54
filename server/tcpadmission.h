// SPDX-License-Identifier: MIT
#pragma once

#include "platform/tokenthrottle.h"

#include <QHash>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace server {

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

// Who the exchange server lets in over TCP and when: the caps on connections per address and in
// all, which connection makes room when all are taken, how long an address that sent wrong
// tokens waits for its next check, and which refusals are logged. It decides only; the server
// opens, closes and logs. Time comes from the clock it is given.
class TcpAdmission {
public:
    // Milliseconds of a monotonic clock.
    using Clock = platform::TokenThrottle::Clock;
    // The server's number of a connection.
    using Connection = quint64;

    // Without a clock, the process's monotonic clock.
    explicit TcpAdmission(Clock clock = {});

    void setLimits(const ConnectionLimits& limits);
    const ConnectionLimits& limits() const { return m_limits; }

    struct Verdict {
        bool admitted = false;
        // Admitted in place of this connection (the oldest without greeting), which the caller
        // closes; it is no longer counted.
        std::optional<Connection> evicted;
    };
    // A new connection from the address `peer`: refused when the address has maxPerPeer
    // connections, or when all maxConnections have greeted. Counted from here on when admitted.
    Verdict admit(Connection connection, const QString& peer);
    void greeted(Connection connection);
    // The connection ended (an unknown one, or one evicted, is ignored).
    void closed(Connection connection);
    int connectionCount() const { return int(m_order.size()); }

    // Milliseconds until a token from `peer` may be checked (0: now).
    qint64 tokenCheckDelay(const QString& peer) { return m_tokens.checkDelay(peer); }
    void tokenChecked(const QString& peer, bool right) { m_tokens.checked(peer, right); }

    // A connection was closed before its greeting: true when it is to be logged now, which
    // starts an interval; within it the others are only counted.
    bool logRefusal();
    // The interval ended: how many refusals it counted. When some were, the next interval
    // starts at once (the caller logs the count); otherwise the next refusal is logged again.
    int endLogInterval();

private:
    struct Entry {
        Connection connection = 0;
        QString peer;
        bool greeted = false;
    };
    void forget(qsizetype index);

    ConnectionLimits m_limits;
    platform::TokenThrottle m_tokens;
    QHash<QString, int> m_connections; // connections of each address that has some
    QList<Entry> m_order;              // connections in the order they came
    bool m_logging = false;            // within an interval of logged refusals
    int m_suppressed = 0;
};

} // namespace server
