// SPDX-License-Identifier: MIT
#include "server/tcplinebridge.h"

#include <QHostAddress>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace server {

TcpLineBridge::~TcpLineBridge() {
    m_notifier.reset();
    m_socket.disconnect(this);
    m_socket.abort();
    for (const int fd : {m_master, m_slave})
        if (fd >= 0)
            ::close(fd);
}

bool TcpLineBridge::open(const platform::NetworkEndpoint& endpoint, int limitMs, QString* why) {
    m_socket.connectToHost(endpoint.host, endpoint.port);
    if (!m_socket.waitForConnected(limitMs)) {
        *why =
            QStringLiteral("cannot connect to %1: %2").arg(endpoint.text(), m_socket.errorString());
        m_socket.abort();
        return false;
    }
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    char name[128] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        *why = QStringLiteral("cannot open a pseudo-terminal: %1").arg(qt_error_string(errno));
        m_socket.abort();
        return false;
    }
    termios t{};
    ::tcgetattr(m_slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(m_slave, TCSANOW, &t);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_path = QString::fromLocal8Bit(name);
    m_notifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &TcpLineBridge::fromLine);
    connect(&m_socket, &QTcpSocket::readyRead, this, &TcpLineBridge::toLine);
    connect(&m_socket, &QTcpSocket::disconnected, this, &TcpLineBridge::lost);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &TcpLineBridge::lost);
    return true;
}

void TcpLineBridge::fromLine() {
    char buf[4096];
    // A bounded number of reads a turn: the event loop keeps running whatever the client writes.
    for (int i = 0; i < 16; ++i) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            return;
        m_socket.write(buf, n);
    }
}

void TcpLineBridge::toLine() {
    const QByteArray bytes = m_socket.readAll();
    qsizetype done = 0;
    // The line's buffer takes a frame at once; bytes it cannot take are the peer's flood, and
    // dropped like noise on a wire.
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0)
            return;
        done += n;
    }
}

} // namespace server
