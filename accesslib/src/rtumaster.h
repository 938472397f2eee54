#pragma once

#include "comm/ipc/resultcodes.h"
#include "rtuframe.h"

#include <QByteArray>
#include <QModbusPdu>
#include <QString>

#include <chrono>
#include <memory>

class QIODevice;
class QSerialPort;

namespace ombrel {

// Result codes of the library: the program's common table.
using namespace comm::ipc;

// A Modbus RTU master on one serial port, used in blocking mode from the thread that opened it:
// every exchange writes the request and reads until the reply is complete by its length, the
// answer time-out passes without a byte, or the line goes quiet in the middle of a frame.
// Reasons a serial device cannot be opened, told apart without opening it again.
enum class OpenFailure { Missing, NoAccess, Busy, Other };

// Why opening `devicePath` failed: it does not exist, the user may not read and write it, or (it
// exists and is accessible, yet the port refused with a permission error) another program holds
// it; `portError` is QSerialPort's error code of the failed open.
OpenFailure classifyOpenFailure(const QString& devicePath, int portError);

// The user's text of a failure; `systemText` is the port's own error text (used for Other). The
// text of NoAccess names the device's owner and group (see noAccessText).
QString openFailureText(OpenFailure failure, const QString& devicePath, const QString& systemText);

// The text of a device the user may not open: the dialout hint when the device's group is
// dialout, otherwise its owner and group (by name, or by number where the name is unknown).
QString noAccessText(const QString& devicePath, const QString& owner, const QString& group,
                     uint ownerId, uint groupId);

class RtuMaster {
public:
    RtuMaster();
    ~RtuMaster();
    RtuMaster(const RtuMaster&) = delete;
    RtuMaster& operator=(const RtuMaster&) = delete;

    // Opens the device 8N1 at baud. rs485 asks the driver for RS-485 mode (ignored where the
    // driver has none). Returns false when the device cannot be opened or set up; openError()
    // then says why.
    bool open(const QString& devicePath, int baud, bool rs485);
    // Takes an already open device in place of a serial port (a fake line for tests and fuzzing);
    // the master owns it from here on. Failures of such a device show only as it closing.
    bool openDevice(std::unique_ptr<QIODevice> device, int baud);
    // Why the last open() failed, for the user; empty after a successful open().
    const QString& openError() const { return m_openError; }
    void close();
    bool isOpen() const;

    // Sends request to address and waits for its answer; up to retries more tries when the
    // answer is missing, corrupt or of the wrong length. An exception reply ends the exchange
    // with its mapped code. On rcOk, reply holds the answer PDU.
    int exchange(quint8 address, const QModbusRequest& request, QModbusResponse* reply);

    void setRetries(int retries);
    int retries() const { return m_retries; }
    // Time to wait for the first byte of an answer, and for each further byte once it started.
    void setTimeouts(int answerMs, int charMs);
    int answerTimeoutMs() const { return m_answerMs; }
    int charTimeoutMs() const { return m_charMs; }

private:
    using Clock = std::chrono::steady_clock;

    int attempt(quint8 address, const QModbusRequest& request, QModbusResponse* reply);
    bool readSome(int timeoutMs); // false on time-out or port failure
    bool portFailed();            // closes the port when it has gone
    void drainUntilQuiet(int quietMs, int capMs);
    void keepInterFrameGap();

    std::unique_ptr<QIODevice> m_port;
    QSerialPort* m_serial = nullptr; // m_port when it is a serial port
    QString m_openError;
    QByteArray m_rx;
    int m_baud = 9600;
    int m_retries = 0;
    int m_answerMs = 500;
    int m_charMs = 50;
    Clock::time_point m_lastLineActivity{};
};

// The master behind the library's C entry points (for tests and fuzzing inside the library's
// own code; not exported from OmbrelDll.so).
RtuMaster& libraryMaster();

} // namespace ombrel
