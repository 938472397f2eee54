// SPDX-License-Identifier: MIT
#pragma once

#include "comm/ipc/resultcodes.h"
#include "ombreldll.h"

#include <QList>
#include <QModbusPdu>
#include <QString>

#include <functional>
#include <memory>

class QIODevice;

namespace ombrel {

// Result codes of the library: the program's common table.
using namespace comm::ipc;

class ExchangeTrace;
class ModbusLine;
struct ExchangeSettings;

// The most requests a run keeps in flight on a Modbus TCP connection.
inline constexpr int kMaxWindow = 16;
// A window that begins at RunOptions::startWindow and widens while the answers come back whole
// and in time.
inline constexpr int kAutoWindow = 0;

// How a run of requests is made (see RtuAndTcpMaster::exchangeRun).
struct RunOptions {
    int window = 1; // 1..kMaxWindow requests in flight, or kAutoWindow
    int startWindow =
        1; // kAutoWindow: the window to begin with (one reached on the endpoint before)
    // Asked between waits (at least every 50 ms while it is set): once it returns true no
    // further request goes out and the run returns; what is still in flight is left to be
    // dropped by its transaction id. A caller on another thread makes it read an atomic flag.
    std::function<bool()> stopped{};
};

// Why a run went back to one request at a time: the gateway left requests unanswered that came
// while it was busy, or closed the connection on a second request.
enum class WindowFallback { None, Unanswered, Closed };

struct RunReport {
    // The window the run ended with, to begin the next run of the endpoint with; 1 after a
    // fallback, and on a line that takes one request at a time.
    int windowReached = 1;
    WindowFallback fallback = WindowFallback::None;
    int delivered = 0; // results handed to the sink
};

// Takes the result of requests[item] (on rcOk with its answer PDU), in the order of the
// requests; false ends the run.
using ResultSink = std::function<bool(int item, int rc, const QModbusResponse& reply)>;

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

    // Makes a run of requests to one address and hands each result to sink in request order.
    // On a tcp:// endpoint up to a window of requests are in flight at once: answers are matched
    // to their requests by transaction id and may come in any order; a request is retried on
    // its own (up to retries more tries, as exchange() does) when its answer does not come
    // within the answer time, counted from its sending or from when the request sent before it
    // was answered or given up, whichever is later (a gateway that queues requests serves them
    // one after another); an answer to a try already given up is dropped. Window 1, serial
    // lines and rtu+tcp:// (a serial bus cannot take frames back to back, and RTU frames carry
    // no transaction id) make one exchange() after another.
    //
    // Some gateways serve one request at a time: they drop what comes while they are busy, or
    // close the connection. A connection closed with two or more requests in flight, or a second
    // request left unanswered while one sent after it was answered (within 256 answers of the
    // first), makes the run fall back to one request at a time, for any window: every request
    // not yet answered is asked again that way, with all its tries. The report says so, and the
    // trace has an OMBREL_TRACE_WINDOW event for it and for every widening of an automatic
    // window (which doubles after max(4, window) answers in a row that came whole on their first
    // try).
    RunReport exchangeRun(quint8 address, const QList<QModbusRequest>& requests,
                          const RunOptions& options, const ResultSink& sink);

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
