// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace core {
class ITraceObserver;
}

// A run of journal records read with requests in flight (IAccessLibrary::ReadRecords).
struct TRecordRun {
    std::vector<std::array<std::uint8_t, 7>> requests; // function-65 request bytes, in order
    std::vector<std::int64_t> records; // the journal record of each request, for the trace
    int window = 1; // 1..16 requests in flight, or 0: automatic, beginning at startWindow
    int startWindow = 1;
    // Out: the window the run ended with; the reason of a fallback to one request at a time
    // (0 none, 1 requests left unanswered, 2 the connection closed).
    int windowReached = 1;
    int fallback = 0;
};
// Takes each record's result in request order: its position, result code and the 256-byte reply
// buffer (zeroed on a failure); false stops the run.
using TRecordSink = std::function<bool(int item, int code, const std::uint8_t* reply)>;

// The reading run's view of the Modbus access library. The real implementation binds
// OmbrelDll.so with dlopen; tests of single classes may use a fake.
class IAccessLibrary {
public:
    virtual ~IAccessLibrary() = default;

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
    // a setting. A library without the setting keeps its own.
    virtual void SetTimeouts(int answerMs, int charMs) {
        (void)answerMs;
        (void)charMs;
    }
    // Hands every frame of the line to observer from now on (null: no more); observer must
    // outlive the setting. False when the library has no trace.
    virtual bool SetTraceObserver(core::ITraceObserver* observer) {
        (void)observer;
        return false;
    }
    // The journal record the next requests ask for (-1: none, e.g. a count register): the trace
    // names it with each frame of those requests and of their answers.
    virtual void SetTraceRecord(std::int64_t record) { (void)record; }
    // Whether an exchange listens out answers still due before it returns (on by default); a
    // search for an instrument turns it off. A library without the setting keeps it on.
    virtual void SetListenOut(bool on) { (void)on; }
    // Reads a run of records with up to run.window requests in flight where the line allows it
    // (a Modbus TCP endpoint); a library without it asks them one after another. Returns 0, or
    // the result code of a run that could not begin.
    [[nodiscard]] virtual int ReadRecords(int devAddr, TRecordRun& run, const TRecordSink& sink);
    // Why the last call failed, in the system's words (e.g. why a port could not be opened);
    // empty when the library does not say.
    virtual QString LastErrorDetail() const { return {}; }
};
