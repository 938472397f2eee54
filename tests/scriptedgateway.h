// SPDX-License-Identifier: MIT
#pragma once

// A scripted gateway on loopback for the tests of network endpoints: it accepts connections one
// after another on its own thread and answers each request as a script says.
#include <QByteArray>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace fixture {

// A listening socket on 127.0.0.1 at a port of the system's choice; -1 when none.
inline int listenOnLoopback(int backlog, quint16* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(fd, backlog) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len)) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

// What the gateway does with a request: send these bytes, then close the connection or not.
struct GatewayReply {
    QByteArray bytes;
    bool close = false;
};
using GatewayScript = std::function<GatewayReply(const QByteArray& request, int connection)>;

// A gateway on its own thread: accepts connections one after another and answers each request
// (one read) as the script says. Stops when destroyed; every wait is bounded.
class ScriptedGateway {
public:
    explicit ScriptedGateway(GatewayScript script,
                             std::chrono::seconds lifetime = std::chrono::seconds(20))
        : m_script(std::move(script)), m_lifetime(lifetime) {
        m_fd = listenOnLoopback(4, &m_port);
        if (m_fd >= 0)
            m_thread = std::thread([this] { run(); });
    }
    ~ScriptedGateway() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    quint16 port() const { return m_port; }
    int connections() const { return m_connections; }

private:
    static bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 50) == 1;
    }
    void run() {
        const auto end = std::chrono::steady_clock::now() + m_lifetime;
        while (!m_stop && std::chrono::steady_clock::now() < end) {
            if (!readable(m_fd))
                continue;
            const int c = ::accept(m_fd, nullptr, nullptr);
            if (c < 0)
                continue;
            serve(c, m_connections++, end);
            ::close(c);
        }
    }
    void serve(int c, int connection, std::chrono::steady_clock::time_point end) {
        char buf[512];
        while (!m_stop && std::chrono::steady_clock::now() < end) {
            if (!readable(c))
                continue;
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                return; // the master closed the connection
            const GatewayReply r = m_script(QByteArray(buf, int(n)), connection);
            if (!r.bytes.isEmpty())
                ::send(c, r.bytes.constData(), size_t(r.bytes.size()), MSG_NOSIGNAL);
            if (r.close)
                return;
        }
    }

    GatewayScript m_script;
    std::chrono::seconds m_lifetime;
    int m_fd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};

} // namespace fixture
