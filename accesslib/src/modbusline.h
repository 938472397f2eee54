// SPDX-License-Identifier: MIT
#pragma once

#include "platform/devicelock.h"
#include "platform/endpoint.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class QIODevice;
class QSerialPort;
class QTcpSocket;

namespace ombrel {

// Reasons a serial device cannot be opened, told apart without opening it again.
enum class OpenFailure { Missing, NoAccess, Busy, Other };

// Why opening `devicePath` failed: it does not exist, the user may not read and write it, or (it
// exists and is accessible, yet the port refused with a permission error) another program holds
// it; `portError` is QSerialPort's error code of the failed open.
[[nodiscard]] OpenFailure classifyOpenFailure(const QString& devicePath, int portError);

// The user's text of a failure; `systemText` is the port's own error text (used for Other). The
// text of NoAccess names the device's owner and group (see noAccessText).
[[nodiscard]] QString openFailureText(OpenFailure failure, const QString& devicePath,
                                      const QString& systemText);

// The text of a device the user may not open: the dialout hint when the device's group is
// dialout, otherwise its owner and group (by name, or by number where the name is unknown).
QString noAccessText(const QString& devicePath, const QString& owner, const QString& group,
                     uint ownerId, uint groupId);

// The line of a master: a serial port (8N1, blocking mode, on the thread that opened it), a TCP
// connection to a network endpoint, or any open device handed in. It only moves bytes: what
// goes out and what comes in, and whether the port or connection has failed. A port that fails
// is closed; a lost connection to an endpoint can be opened again.
class ModbusLine {
public:
    using Clock = std::chrono::steady_clock;

    ModbusLine();
    ~ModbusLine();
    ModbusLine(const ModbusLine&) = delete;
    ModbusLine& operator=(const ModbusLine&) = delete;

    // Opens the device at baud, or connects to the endpoint the text names within the connect
    // time limit (baud and rs485 do not apply to it). False, and the reason in openError(), when
    // it cannot be opened or another reader holds the device (platform::DeviceLock).
    [[nodiscard]] bool open(const QString& devicePath, int baud, bool rs485);
    // Takes an already open device; failures of it show only as it closing.
    [[nodiscard]] bool openDevice(std::unique_ptr<QIODevice> device, int baud);
    const QString& openError() const { return m_openError; }
    void setConnectLimit(std::chrono::milliseconds limit) { m_connectLimit = limit; }
    // After the connection to the known endpoint was lost: connects again.
    bool reopen();
    // Closes the port and forgets the endpoint.
    void close();
    // Closes the port; an endpoint stays known for reopen().
    void drop();

    bool isOpen() const;
    bool isEndpoint() const { return m_endpoint.has_value(); }
    // A TCP connection (an endpoint's) is open.
    bool isSocket() const { return m_socket != nullptr; }
    // Modbus TCP framing (a tcp:// endpoint).
    bool isMbap() const { return m_mbap; }
    // The serial speed; 0 on an endpoint.
    int baud() const { return m_baud; }
    // OMBREL_LINK_* of the library's header.
    int link() const;
    // Wire time of the longest frame (260 bytes), at least 20 ms.
    Clock::duration frameTime() const;

    // When a byte was last seen on the line (or a request sent, see markActivity).
    Clock::time_point lastActivity() const { return m_lastActivity; }
    void markActivity(Clock::time_point at) { m_lastActivity = at; }

    // Writes the frame; on failure the line is dropped and false returned.
    bool send(const QByteArray& frame);
    // Waits up to timeoutMs for bytes and puts what came into `chunk`; false on time-out or
    // when the port failed (isOpen() tells which). True with an empty chunk may happen.
    bool readSome(int timeoutMs, QByteArray* chunk);
    // What the port has already buffered, without waiting.
    QByteArray readBuffered();
    qint64 bytesAvailable() const;

private:
    bool openEndpoint(const QString& text);
    bool failed(); // closes the port when it has gone

    std::unique_ptr<QIODevice> m_port;
    QSerialPort* m_serial = nullptr; // m_port when it is a serial port
    QTcpSocket* m_socket = nullptr;  // m_port when it is a connection to m_endpoint
    std::optional<platform::NetworkEndpoint> m_endpoint;
    bool m_mbap = false;
    std::chrono::milliseconds m_connectLimit{platform::kDefaultConnectLimitMs};
    platform::DeviceLock m_lock; // of the device m_serial has open
    QString m_openError;
    int m_baud = 9600;
    Clock::time_point m_lastActivity{};
};

} // namespace ombrel
