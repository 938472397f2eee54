// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>

namespace core {

class ITraceObserver;

// A journal record to ask for with function 65: its number (the trace names the request by it)
// and what the request carries.
struct TRecordAsk {
    std::int64_t number = 0;
    int archiveNumber = 0; // travels by its low 8 bits
    int requestIndex = 0;  // travels by its low 16 bits
};

// Takes the result of asks[item]: the result code and, on 0, the reply in the 256-byte buffer
// (function code, byte count, data, the rest zeroed). Returns false to ask for no more records.
using TRecordSink = std::function<bool(std::size_t item, int code, const std::uint8_t* reply)>;

// The reading engine's Modbus link to an instrument: connect, register reads, function 65, the
// trace, close. Implementations: the access library's C exports loaded with dlopen
// (TAccessLibraryBinding, one connection per process) and a master instance linked in
// (TMasterLink, one per line). Every call on one connection is made from the thread that
// connected it. Tests of single classes may use a fake.
class IModbusLink {
public:
    virtual ~IModbusLink() = default;

    [[nodiscard]] virtual bool Connect(int port, int speed, int linkType) = 0;
    virtual void Disconnect() = 0;
    [[nodiscard]] virtual int GetDevName(int devAddr, std::uint8_t* buffer, int size) = 0;
    [[nodiscard]] virtual int ReadInputRegister(int devAddr, int regAddr, int count, int type,
                                                std::uint8_t* buffer) = 0;
    [[nodiscard]] virtual int ReadHoldingRegister(int devAddr, int regAddr, int count, int type,
                                                  std::uint8_t* buffer) = 0;
    [[nodiscard]] virtual int AnyFunction(int devAddr, int funNumber, int size,
                                          std::uint8_t* buffer) = 0;
    virtual void Retries(int retries) = 0;
    // The answer time and the longest pause inside an answer, in milliseconds; 0 or less keeps
    // a setting. A link without the setting keeps its own.
    virtual void SetTimeouts(int answerMs, int charMs) {
        (void)answerMs;
        (void)charMs;
    }
    // Hands every frame of the line to observer from now on (null: no more); observer must
    // outlive the setting and is called on the thread that makes the exchanges. False when the
    // link has no trace.
    virtual bool SetTraceObserver(ITraceObserver* observer) {
        (void)observer;
        return false;
    }
    // The journal record the next requests ask for (-1: none, e.g. a count register): the trace
    // names it with each frame of those requests and of their answers.
    virtual void SetTraceRecord(std::int64_t record) { (void)record; }
    // Whether an exchange listens out answers still due before it returns (on by default); a
    // search for an instrument turns it off. A link without the setting keeps it on.
    virtual void SetListenOut(bool on) { (void)on; }
    // Why the last call failed, in the system's words (e.g. why a port could not be opened);
    // empty when the link does not say.
    virtual QString LastErrorDetail() const { return {}; }

    // Reads the records of `asks` and hands each result to `sink`, in the order of `asks`, until
    // the sink says no more. Here one function-65 request after another (AnyFunction), each
    // named in the trace by its record; a link that can keep several requests in flight may do
    // so instead.
    virtual void ReadRecords(int devAddr, std::span<const TRecordAsk> asks,
                             const TRecordSink& sink);
    // How many requests ReadRecords may keep in flight from now on where the line allows it (a
    // Modbus TCP endpoint): 1 one after another (the default), up to 16, or 0 an automatic window
    // that begins at startWindow. A link that cannot keep several ignores it.
    virtual void SetRecordWindow(int window, int startWindow) {
        (void)window;
        (void)startWindow;
    }
    // The window the last ReadRecords calls ended with (0: none was kept in flight), and why a
    // gateway made them fall back to one request at a time (TRecordFallback; 0 none).
    virtual std::pair<int, int> RecordWindowReached() const { return {0, 0}; }
};

// Why a run with requests in flight fell back to one request at a time.
enum TRecordFallback {
    kNoFallback = 0,
    kFallbackUnanswered = 1, // the gateway left requests unanswered that came while it was busy
    kFallbackClosed = 2,     // it closed the connection on a second request
};

// The 7-byte function-65 request for a record of an archive (its number's low 8 bits travel).
std::array<std::uint8_t, 7> RecordRequest(int archiveNumber, int recordIndex);

} // namespace core
