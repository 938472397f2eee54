// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <cstdint>

namespace core {
class ITraceObserver;
}

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
    // Why the last call failed, in the system's words (e.g. why a port could not be opened);
    // empty when the library does not say.
    virtual QString LastErrorDetail() const { return {}; }
};
