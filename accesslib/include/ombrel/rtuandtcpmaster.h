// SPDX-License-Identifier: MIT
#pragma once

#include "comm/ipc/resultcodes.h"
#include "ombreldll.h"

#include <QModbusPdu>
#include <QString>

#include <memory>

class QIODevice;

namespace ombrel {

// Result codes of the library: the program's common table.
using namespace comm::ipc;

class ExchangeTrace;
class ModbusLine;
struct ExchangeSettings;

// A Modbus master on one line that speaks Modbus RTU (on a serial port, or RTU frames over a
// TCP connection: rtu+tcp://) and Modbus TCP (tcp://, whose transaction id tells the answer to
// each request); see platform/endpoint.h. Every exchange writes the request and reads until the
// reply is complete by its length, the answer time-out passes without a byte, or the line goes
// quiet in the middle of a frame.
//
// An instance holds no state shared with other instances: a process may have many, one per
// line, each used (opened, exchanged on, closed) from one thread at a time, in blocking mode: a
// port belongs to the thread that opened it. An instance is not itself locked.
class RtuAndTcpMaster {
public:
    RtuAndTcpMaster();
    ~RtuAndTcpMaster();
    RtuAndTcpMaster(const RtuAndTcpMaster&) = delete;
    RtuAndTcpMaster& operator=(const RtuAndTcpMaster&) = delete;

    // Opens the device 8N1 at baud. rs485 asks the driver for RS-485 mode (ignored where the
    // driver has none). Returns false when the device cannot be opened or set up, or another
    // reader holds it under any of its names (platform::DeviceLock); openError() then says why.
    // A network endpoint in place of the device is connected to within the connect time limit
    // (baud and rs485 do not apply to it).
    [[nodiscard]] bool open(const QString& devicePath, int baud, bool rs485);
    // Takes an already open device in place of a serial port (a fake line for tests and fuzzing);
    // the master owns it from here on. Failures of such a device show only as it closing.
    [[nodiscard]] bool openDevice(std::unique_ptr<QIODevice> device, int baud);
    // Why the last open() failed, for the user; empty after a successful open().
    const QString& openError() const;
    void close();
    bool isOpen() const;

    // Sends request to address and waits for its answer; up to retries more tries when the
    // answer is missing, corrupt or of the wrong length. An exception reply ends the exchange
    // with its mapped code. On rcOk, reply holds the answer PDU.
    //
    // When the exchange took more than one try, answers may still be on their way: the one
    // taken may have been the answer to an earlier try, and the answer to the last is then
    // still due. Before returning, the exchange listens out every answer still due (or until
    // none came for a window, see AnswerLedger) and drops them, so that none is taken for the
    // answer to the next request.
    //
    // One failed exchange (every try unanswered), on a silent line or on one that delivers
    // noise without pause, returns within
    //     (retries + 2) x (answer time-out + character time-out + 2 x frame time),
    // the frame time being the wire time of 260 bytes, at least 20 ms: each try keeps at most a
    // quarter of a frame time of silence before its request, waits the answer time-out and at
    // most 1.25 frame times and a character time-out more for an answer that has begun, and the
    // last is followed by one window of listening (answer time-out, character time-out and a
    // frame time) unless an answer comes in it.
    //
    // On a network endpoint no silence is kept before a request. A connection the other end
    // closed (found before or during the exchange) is opened again once, silently, and the try
    // it cost is made again; when that fails, or the new connection is lost as well, the
    // exchange ends with rcChannelClosed and the master stays closed until the next open(). On
    // Modbus TCP, answers of another transaction or unit are dropped, so no late answer needs
    // listening out.
    [[nodiscard]] int exchange(quint8 address, const QModbusRequest& request,
                               QModbusResponse* reply);

    void setRetries(int retries);
    int retries() const;
    // Time to wait for the first byte of an answer, and for each further byte once it started.
    void setTimeouts(int answerMs, int charMs);
    int answerTimeoutMs() const;
    int charTimeoutMs() const;
    // How long opening a network endpoint may take (3 s by default); 0 or less keeps it.
    void setConnectTimeout(int ms);

    // Hands every request, every stretch of received bytes and every silent try to observer
    // (with user); null ends the trace. While none is set, the exchanges do nothing for it.
    void setTraceObserver(OmbrelTraceObserver observer, void* user);
    // Whether an exchange listens out the answers still due before it returns (see exchange()).
    void setListenOut(bool on);

private:
    std::unique_ptr<ModbusLine> m_line;
    std::unique_ptr<ExchangeTrace> m_trace;
    std::unique_ptr<ExchangeSettings> m_settings;
    quint16 m_transaction = 0; // of the last Modbus TCP exchange
};

} // namespace ombrel
