// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

// The line trace as the program sees it: every frame the access library sent or received, with
// what the library made of it. The library hands its events to an observer (see
// IModbusLink::SetTraceObserver); the frame list of the "Обмен" tab, the diagnosis and
// journal-read --trace read them.
namespace core {

enum class TFrameKind {
    Request, // a request went out (attempt > 0: a retry)
    Answer,  // the bytes that came during a try: its answer, or what came instead
    Silence, // a try that got no byte within the answer time
    Late,    // bytes that came after their try had ended (the library dropped them)
    Closed,  // the connection or port was found closed (the other end closed it, or it failed)
    Window,  // a run with requests in flight began, widened its window or fell back to one
};

// The link the events come from.
enum class TTraceLink {
    Serial,     // a serial line
    RtuOverTcp, // RTU frames over TCP (rtu+tcp://), through a transparent gateway
    ModbusTcp,  // Modbus TCP (tcp://), through a gateway that speaks it
};

struct TFrameEvent {
    // What the library made of received bytes (the values of its OMBREL_FRAME_* flags).
    enum Flag {
        Complete = 1,          // a whole frame by its length
        CrcOk = 2,             // ... with a right CRC
        Exception = 4,         // ... that is an exception answer
        Echo = 8,              // the bytes begin with the request itself
        Taken = 16,            // the frame was taken as the answer
        OtherTransaction = 32, // Modbus TCP: the frame answers another request (transaction)
    };
    // Why the window changed (flags of a Window event).
    enum WindowFlag {
        WindowStart = 1,      // the window a run begins with
        WindowWider = 2,      // answers came whole and in time: an automatic window widened
        WindowFallback = 4,   // the gateway serves one request at a time: back to 1, ...
        WindowUnanswered = 8, // ... as it left requests unanswered that came while it was busy
        WindowClosed = 16,    // ... as it closed the connection on a second request
    };

    TFrameKind kind = TFrameKind::Request;
    qint64 timeUs = 0;    // system time, microseconds since 1970
    qint64 elapsedUs = 0; // received: since the request they answer; silence: time waited
    QByteArray bytes;
    int flags = 0;
    int address = -1;   // request: the device addressed; received: the frame's address (-1 none)
    int function = -1;  // the function code (exception bit cleared), -1 none
    int exception = 0;  // exception code of an exception answer
    int attempt = 0;    // 0 the first try, n the n-th retry
    int answerMs = 0;   // the answer time of the try
    int offset = 0;     // received: bytes before the frame (after an echo) that belong to none
    int baud = 0;       // the line's speed, 0 for a network endpoint
    qint64 omitted = 0; // received: bytes after `bytes` the library counted but did not keep
    TTraceLink link = TTraceLink::Serial;
    // The journal record the exchange asks for (IModbusLink::SetTraceRecord); -1 none.
    std::int64_t record = -1;
    // Requests the run may keep in flight at the event, and those in flight right after it.
    int window = 1;
    int inFlight = 0;

    bool has(Flag flag) const { return (flags & flag) != 0; }
    bool has(WindowFlag flag) const { return kind == TFrameKind::Window && (flags & flag) != 0; }
    // A whole frame with a right CRC (of any address).
    bool validFrame() const { return has(Complete) && has(CrcOk); }
    bool network() const { return link != TTraceLink::Serial; }
};

// Receives the trace's events, one at a time, in the order of the line.
class ITraceObserver {
public:
    virtual ~ITraceObserver() = default;
    virtual void OnFrame(const TFrameEvent& event) = 0;
};

// An observer that hands each event to several others (the tab's list, the diagnosis, a file).
class TTraceFanOut : public ITraceObserver {
public:
    void add(ITraceObserver* observer) { m_observers.push_back(observer); }
    void OnFrame(const TFrameEvent& event) override {
        for (ITraceObserver* o : m_observers)
            o->OnFrame(event);
    }

private:
    std::vector<ITraceObserver*> m_observers;
};

// "01 04 00 00 00 01 31 CA".
QString HexBytes(const QByteArray& bytes);

// The event's bytes in hex, at most maxBytes of them (all when negative), and a count of those
// left out, here or by the library: "01 04 … ещё 8 байт".
QString TraceBytes(const TFrameEvent& event, qsizetype maxBytes = -1);

// The event's time of day, local, to the microsecond: "12:26:40.123456".
QString TraceTime(qint64 timeUs);

// "→" for a request, "←" for received bytes, "·" for a silence, "×" for a closed connection.
QString TraceDirection(TFrameKind kind);

// What the event means, in words: "запрос: адрес 1, функция 4 (повтор 1)", "ответ: адрес 1,
// функция 4, 21,3 мс", "нет ответа за 500 мс", ...
QString TraceMeaning(const TFrameEvent& event);

// The record an event belongs to and its try: "5", "5, повтор 2"; empty for an exchange that
// asks for no record (its retries are told by TraceMeaning).
QString TraceRecord(const TFrameEvent& event);

// One line of the trace as text: time, direction, bytes in hex, meaning, separated by two blanks;
// then "; запись " and TraceRecord when the event belongs to a record. With maxBytes, only the
// first maxBytes bytes are shown; bytes left out are counted ("… ещё 8 байт").
QString TraceLine(const TFrameEvent& event, qsizetype maxBytes = -1);

// Whether the event shows a fault (shown in colour): a silence, bytes that are no valid answer,
// an exception, an echo, a late answer.
bool IsTraceFault(const TFrameEvent& event);

// Writes each event as a line of text to `write` (journal-read --trace, the tab's file).
class TTraceTextWriter : public ITraceObserver {
public:
    explicit TTraceTextWriter(std::function<void(const QString&)> write)
        : m_write(std::move(write)) {}
    void OnFrame(const TFrameEvent& event) override { m_write(TraceLine(event) + u'\n'); }

private:
    std::function<void(const QString&)> m_write;
};

} // namespace core
