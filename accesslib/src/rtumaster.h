// SPDX-License-Identifier: MIT
#pragma once

#include "answerledger.h"
#include "comm/ipc/resultcodes.h"
#include "ombreldll.h"
#include "platform/devicelock.h"
#include "platform/endpoint.h"
#include "rtuframe.h"

#include <QByteArray>
#include <QModbusPdu>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class QIODevice;
class QSerialPort;
class QTcpSocket;

namespace ombrel {

// Result codes of the library: the program's common table.
using namespace comm::ipc;

// A Modbus RTU master on one serial port, used in blocking mode from the thread that opened it:
// every exchange writes the request and reads until the reply is complete by its length, the
// answer time-out passes without a byte, or the line goes quiet in the middle of a frame.
// It also serves network endpoints (platform/endpoint.h) over a TCP connection: RTU frames as on
// the serial line (rtu+tcp://), or Modbus TCP frames whose transaction id tells the answer to
// each request (tcp://).
// How long opening a network endpoint may take unless set otherwise.
inline constexpr int kDefaultConnectLimitMs = 3000;

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

// What the trace keeps of a stretch of received bytes: the first kTracePrefix bytes and a count of
// the rest, so that a line or a peer that floods costs the trace no memory.
inline constexpr qsizetype kTracePrefix = 512;
struct TracePrefix {
    QByteArray head;
    qint64 omitted = 0;
    void add(QByteArrayView bytes);
    void clear() {
        head.clear();
        omitted = 0;
    }
    bool isEmpty() const { return head.isEmpty() && omitted == 0; }
};

class RtuMaster {
public:
    RtuMaster();
    ~RtuMaster();
    RtuMaster(const RtuMaster&) = delete;
    RtuMaster& operator=(const RtuMaster&) = delete;

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
    const QString& openError() const { return m_openError; }
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
    //     (retries + 2) x (answer time-out + character time-out + 2 x frameTime()):
    // each try keeps at most a quarter of a frame time of silence before its request, waits the
    // answer time-out and at most 1.25 frame times and a character time-out more for an answer
    // that has begun, and the last is followed by one window of listening (answer time-out,
    // character time-out and a frame time) unless an answer comes in it.
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
    int retries() const { return m_retries; }
    // Time to wait for the first byte of an answer, and for each further byte once it started.
    void setTimeouts(int answerMs, int charMs);
    int answerTimeoutMs() const { return m_answerMs; }
    int charTimeoutMs() const { return m_charMs; }
    // How long opening a network endpoint may take (3 s by default); 0 or less keeps it.
    void setConnectTimeout(int ms);

    // Hands every request, every stretch of received bytes and every silent try to observer
    // (with user); null ends the trace. While none is set, the exchanges do nothing for it.
    void setTraceObserver(OmbrelTraceObserver observer, void* user);
    // Whether an exchange listens out the answers still due before it returns (see exchange()).
    void setListenOut(bool on) { m_listenOutOn = on; }

private:
    using Clock = std::chrono::steady_clock;

    // The trace (only called while an observer is set).
    void traceRequest(const QByteArray& adu, quint8 address, quint8 fc, Clock::time_point sent);
    // What a try received: its bytes (matched: to a try of the ledger; taken: as the answer),
    // or its silence.
    void traceTry(bool matched, bool taken, const AnswerLedger& ledger, Clock::time_point sent);
    // Received bytes as one event; only their first kTracePrefix bytes go with it, the rest
    // (and `omitted` bytes already left out) are counted.
    void traceReceived(int kind, QByteArrayView bytes, qint64 omitted, Clock::duration elapsed,
                       bool taken);
    void traceSilence(Clock::duration waited);
    void traceClosed();
    // An event of `kind` of the current try on this link.
    OmbrelTraceEvent traceEvent(int kind, QByteArrayView bytes) const;
    // Bytes dropped since the last call (stale or late ones), as one event.
    void traceDropped(const AnswerLedger* ledger);

    bool openEndpoint(const QString& text);
    // After the connection to the known endpoint was lost: connects again (once an exchange;
    // when that fails, the exchange closes the master for good).
    bool reopenEndpoint();
    void dropLine(); // closes the port; an endpoint stays known for reopenEndpoint()
    int attempt(quint8 address, const QModbusRequest& request, QModbusResponse* reply,
                AnswerLedger& ledger);
    ReplyScan scanAnswer(quint8 address, quint8 fc);
    // Every frame goes out here, every byte comes in through readSome().
    bool sendFrame(const QByteArray& frame);
    bool readSome(int timeoutMs); // false on time-out or port failure
    bool portFailed();            // closes the port when it has gone
    void settleAfterTry(AnswerLedger& ledger, quint8 address, quint8 fc);
    void listenOut(AnswerLedger& ledger, quint8 address, quint8 fc);
    void keepInterFrameGap();
    // Wire time of the longest frame (260 bytes), at least 20 ms.
    Clock::duration frameTime() const;

    std::unique_ptr<QIODevice> m_port;
    QSerialPort* m_serial = nullptr; // m_port when it is a serial port
    QTcpSocket* m_socket = nullptr;  // m_port when it is a connection to m_endpoint
    std::optional<platform::NetworkEndpoint> m_endpoint;
    bool m_mbap = false;       // Modbus TCP framing
    quint16 m_transaction = 0; // of the current Modbus TCP exchange
    std::chrono::milliseconds m_connectLimit{kDefaultConnectLimitMs};
    platform::DeviceLock m_lock; // of the device m_serial has open
    QString m_openError;
    QByteArray m_rx;
    int m_baud = 9600;
    int m_retries = 0;
    int m_answerMs = 500;
    int m_charMs = 50;
    Clock::time_point m_lastLineActivity{};
    Clock::time_point m_tryEnd{}; // the latest a try's answer may still be arriving
    bool m_listenOutOn = true;

    OmbrelTraceObserver m_trace = nullptr;
    void* m_traceUser = nullptr;
    // The request the trace relates received bytes to, and its try.
    QByteArray m_traceAdu;
    TracePrefix m_traceRx; // what a Modbus TCP try received, for the trace
    quint8 m_traceAddress = 0;
    quint8 m_traceFc = 0;
    int m_traceTry = 0;
    Clock::time_point m_traceSent{};
    bool m_dropping = false; // bytes read now are dropped: keep them in m_dropped for the trace
    TracePrefix m_dropped;
};

// The master behind the library's C entry points (for tests and fuzzing inside the library's
// own code; not exported from OmbrelDll.so).
RtuMaster& libraryMaster();

} // namespace ombrel
