// SPDX-License-Identifier: MIT
#include "server/tcpadmission.h"

#include <QtGlobal>

#include <algorithm>
#include <chrono>

namespace server {

TcpAdmission::TcpAdmission(Clock clock) : m_clock(std::move(clock)) {
    if (!m_clock)
        m_clock = [] {
            using namespace std::chrono;
            return qint64(
                duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
        };
}

TcpAdmission::Verdict TcpAdmission::admit(Connection connection, const QString& peer) {
    Verdict verdict;
    if (m_peers.value(peer).connections >= m_limits.maxPerPeer)
        return verdict;
    if (m_order.size() >= m_limits.maxConnections) {
        const auto oldest = std::find_if(m_order.cbegin(), m_order.cend(),
                                         [](const Entry& e) { return !e.greeted; });
        if (oldest == m_order.cend())
            return verdict;
        verdict.evicted = oldest->connection;
        forget(oldest - m_order.cbegin());
    }
    verdict.admitted = true;
    m_order.append(Entry{connection, peer, false});
    ++m_peers[peer].connections;
    return verdict;
}

void TcpAdmission::greeted(Connection connection) {
    for (Entry& e : m_order)
        if (e.connection == connection)
            e.greeted = true;
}

void TcpAdmission::closed(Connection connection) {
    const auto it = std::find_if(m_order.cbegin(), m_order.cend(),
                                 [&](const Entry& e) { return e.connection == connection; });
    if (it != m_order.cend())
        forget(it - m_order.cbegin());
}

void TcpAdmission::forget(qsizetype index) {
    const QString peer = m_order.takeAt(index).peer;
    const auto it = m_peers.find(peer);
    if (it != m_peers.end() && --it->connections <= 0 && it->failures == 0)
        m_peers.erase(it);
}

qint64 TcpAdmission::tokenCheckDelay(const QString& peer) {
    const auto it = m_peers.find(peer);
    if (it == m_peers.end() || it->failures == 0)
        return 0;
    const qint64 now = m_clock();
    if (now - it->lastFailure > m_limits.tokenFailureMemoryMs) {
        it->failures = 0;
        return 0;
    }
    return qMax<qint64>(it->nextCheck - now, 0);
}

void TcpAdmission::tokenChecked(const QString& peer, bool right) {
    Peer& p = m_peers[peer];
    if (right) {
        p.failures = 0;
        return;
    }
    ++p.failures;
    p.lastFailure = m_clock();
    const qint64 delay = qint64(m_limits.firstTokenDelayMs) << qMin(p.failures - 1, 20);
    p.nextCheck = p.lastFailure + qMin<qint64>(delay, m_limits.maxTokenDelayMs);
    // Addresses that only failed long ago are forgotten.
    if (m_peers.size() > 4 * m_limits.maxConnections) {
        const qint64 now = m_clock();
        m_peers.removeIf([&](const QHash<QString, Peer>::iterator it) {
            return it->connections <= 0 && now - it->lastFailure > m_limits.tokenFailureMemoryMs;
        });
    }
}

bool TcpAdmission::logRefusal() {
    if (m_logging) {
        ++m_suppressed;
        return false;
    }
    m_logging = true;
    return true;
}

int TcpAdmission::endLogInterval() {
    const int counted = m_suppressed;
    m_suppressed = 0;
    m_logging = counted > 0;
    return counted;
}

} // namespace server
