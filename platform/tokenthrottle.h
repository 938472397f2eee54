// SPDX-License-Identifier: MIT
#pragma once

#include <QHash>
#include <QString>

#include <functional>

// Access tokens of the programs that listen on the network (the exchange server, the collector's
// status page): how a token is compared, and how often an address that sent wrong ones may have
// another checked.
namespace platform {

// True when `presented` equals `expected`, in a time that does not depend on where they differ.
// An empty expected token matches nothing.
bool sameToken(const QString& presented, const QString& expected);

// Milliseconds of the process's monotonic clock.
qint64 monotonicMs();

// After a wrong token, the next token from that address is checked no sooner than firstDelayMs,
// doubled with every further failure up to maxDelayMs; a caller holds back or refuses what comes
// sooner. Failures are forgotten after memoryMs without one. Time comes from the clock it is
// given, so that its users' tests need not wait.
class TokenThrottle {
public:
    using Clock = std::function<qint64()>;

    struct Limits {
        int firstDelayMs = 250;
        int maxDelayMs = 8000;
        int memoryMs = 60000;
        // More addresses than this remembered: those whose last failure is older than memoryMs
        // are dropped, so that a flood of addresses costs bounded memory.
        int maxAddresses = 1024;
    };

    // Without a clock, monotonicMs().
    explicit TokenThrottle(Clock clock = {});

    void setLimits(const Limits& limits) { m_limits = limits; }
    const Limits& limits() const { return m_limits; }

    // Milliseconds until a token from `peer` may be checked (0: now).
    qint64 checkDelay(const QString& peer);
    void checked(const QString& peer, bool right);

    // The current time of the clock.
    qint64 now() const { return m_clock(); }

private:
    struct Failures {
        int count = 0;        // wrong tokens in a row
        qint64 last = 0;      // clock time of the last one
        qint64 nextCheck = 0; // no token is checked before this clock time
    };

    Clock m_clock;
    Limits m_limits;
    QHash<QString, Failures> m_failures;
};

} // namespace platform
