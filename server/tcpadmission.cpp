// SPDX-License-Identifier: MIT
#include "server/tcpadmission.h"

#include <QtGlobal>

#include <algorithm>

namespace server {

TcpAdmission::TcpAdmission(Clock clock) : m_tokens(std::move(clock)) {
    setLimits(m_limits);
}

void TcpAdmission::setLimits(const ConnectionLimits& limits) {
    m_limits = limits;
    m_tokens.setLimits({limits.firstTokenDelayMs, limits.maxTokenDelayMs,
                        limits.tokenFailureMemoryMs, 4 * limits.maxConnections});
}

TcpAdmission::Verdict TcpAdmission::admit(Connection connection, const QString& peer) {
    Verdict verdict;
    if (m_connections.value(peer) >= m_limits.maxPerPeer)
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
    ++m_connections[peer];
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
    const auto it = m_connections.find(peer);
    if (it != m_connections.end() && --*it <= 0)
        m_connections.erase(it);
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
