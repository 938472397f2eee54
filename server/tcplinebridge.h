// SPDX-License-Identifier: MIT
#pragma once

#include "platform/endpoint.h"

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTcpSocket>

#include <memory>

namespace server {

// A local serial line for an instrument behind a transparent serial device server (rtu+tcp://):
// a pseudo-terminal whose bytes go to the TCP connection and back unchanged, so that Qt's RTU
// client (which opens only serial devices) runs over it with every rule of the serial line. The
// pty's own slave descriptor stays open, so the client may close and reopen the line.
class TcpLineBridge : public QObject {
    Q_OBJECT
public:
    TcpLineBridge() = default;
    ~TcpLineBridge() override;
    TcpLineBridge(const TcpLineBridge&) = delete;
    TcpLineBridge& operator=(const TcpLineBridge&) = delete;

    // Connects within limitMs and opens the pty; false and why when it cannot.
    bool open(const platform::NetworkEndpoint& endpoint, int limitMs, QString* why);
    // The device path of the line (the pty's slave).
    QString linePath() const { return m_path; }

signals:
    // The other end closed the connection, or it failed.
    void lost();

private:
    void fromLine();
    void toLine();

    QTcpSocket m_socket;
    int m_master = -1, m_slave = -1;
    QString m_path;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace server
