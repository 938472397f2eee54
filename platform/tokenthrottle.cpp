// SPDX-License-Identifier: MIT
#include "platform/tokenthrottle.h"

#include <QByteArray>
#include <QtGlobal>

#include <chrono>

namespace platform {

bool sameToken(const QString& presented, const QString& expected) {
    const QByteArray x = presented.toUtf8(), y = expected.toUtf8();
    unsigned diff = unsigned(x.size() ^ y.size());
    for (qsizetype i = 0; i < x.size(); ++i)
        diff |= unsigned(quint8(x[i]) ^ quint8(y.isEmpty() ? 0 : y[i % y.size()]));
    return diff == 0 && !y.isEmpty();
}

qint64 monotonicMs() {
    using namespace std::chrono;
    return qint64(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

TokenThrottle::TokenThrottle(Clock clock) : m_clock(std::move(clock)) {
    if (!m_clock)
        m_clock = monotonicMs;
}

qint64 TokenThrottle::checkDelay(const QString& peer) {
    const auto it = m_failures.find(peer);
    if (it == m_failures.end())
        return 0;
    const qint64 now = m_clock();
    if (now - it->last > m_limits.memoryMs) {
        m_failures.erase(it);
        return 0;
    }
    return qMax<qint64>(it->nextCheck - now, 0);
}

void TokenThrottle::checked(const QString& peer, bool right) {
    if (right) {
        m_failures.remove(peer);
        return;
    }
    Failures& f = m_failures[peer];
    const qint64 now = m_clock();
    if (now - f.last > m_limits.memoryMs)
        f.count = 0;
    ++f.count;
    f.last = now;
    const qint64 delay = qint64(m_limits.firstDelayMs) << qMin(f.count - 1, 20);
    f.nextCheck = f.last + qMin<qint64>(delay, m_limits.maxDelayMs);
    // Addresses that only failed long ago are forgotten.
    if (m_failures.size() > m_limits.maxAddresses) {
        m_failures.removeIf([&](const QHash<QString, Failures>::iterator it) {
            return now - it->last > m_limits.memoryMs;
        });
    }
}

} // namespace platform
