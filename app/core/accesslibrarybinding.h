// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/librarytrace.h"
#include "app/core/modbuslink.h"

#include <QString>

#include <cstdint>

namespace platform {
class IMessageSink;
} // namespace platform

namespace core {

// The Modbus access library OmbrelDll.so bound at run time (dlopen/dlsym), the way the program
// has always loaded its access library by file name. Calls made while an entry point is missing
// fail with result code 3 (channel closed) or false instead of jumping through a null pointer.
class TAccessLibraryBinding : public core::IModbusLink {
public:
    using TDllConnect = std::int32_t (*)(std::int32_t aPort, std::int32_t aSpeed,
                                         std::int32_t aType);
    using TDllDisconnect = std::int32_t (*)();
    using TDllGetDeviceName = std::int32_t (*)(std::int32_t aDevAddr, std::uint8_t* aP,
                                               std::int32_t aSize);
    using TDllTest = std::int32_t (*)(std::int32_t aDevAddr);
    using TDllReadInputRegister = std::int32_t (*)(std::int32_t aDevAddr, std::int32_t aRegAddr,
                                                   std::int32_t aCount, std::int32_t aType,
                                                   std::uint8_t* aP);
    using TDllWriteRegister = std::int32_t (*)(std::int32_t aDevAddr, std::int32_t aRegAddr,
                                               std::int32_t aValue);
    using TDllAnyFunction = std::int32_t (*)(std::int32_t aDevAddr, std::int32_t aFunNumber,
                                             std::int32_t aSize, std::uint8_t* aP);
    using TDllRetries = std::int32_t (*)(std::int32_t aRetries);
    using TDllLastErrorText = std::int32_t (*)(char* aBuf, std::int32_t aSize);
    using TDllSetTimeouts = std::int32_t (*)(std::int32_t aAnswerMs, std::int32_t aCharMs);
    using TDllSetListenOut = std::int32_t (*)(std::int32_t aOn);

    static constexpr const char* kFileName = "OmbrelDll.so";
    static constexpr int kChannelClosed = 3;

    // The library is never unloaded: it stays until the process ends.
    ~TAccessLibraryBinding() override = default;

    // Loads kFileName from `programDirectory`, else through the system's library search path,
    // then resolves the nine entry points in order, stopping at the first missing one (and the
    // optional "LastErrorText" and "SetTimeouts", whose absence is no failure). When the
    // file cannot be loaded, shows "Библиотека OmbrelDLL.dll не найдена" through `messages`.
    // True when the library and all nine entry points are there.
    [[nodiscard]] bool LoadAccessLibrary(const QString& programDirectory,
                                         platform::IMessageSink* messages);

    bool isComplete() const;
    // Why loading failed, in Russian: the file is missing, the loader's text for a file that does
    // not load, or the missing function.
    const QString& loadError() const { return m_loadError; }

    // core::IModbusLink
    [[nodiscard]] bool Connect(int port, int speed, int linkType) override;
    void Disconnect() override;
    [[nodiscard]] int GetDevName(int devAddr, std::uint8_t* buffer, int size) override;
    [[nodiscard]] int ReadInputRegister(int devAddr, int regAddr, int count, int type,
                                        std::uint8_t* buffer) override;
    [[nodiscard]] int ReadHoldingRegister(int devAddr, int regAddr, int count, int type,
                                          std::uint8_t* buffer) override;
    [[nodiscard]] int AnyFunction(int devAddr, int funNumber, int size,
                                  std::uint8_t* buffer) override;
    void Retries(int retries) override;
    void SetTimeouts(int answerMs, int charMs) override;
    bool SetTraceObserver(core::ITraceObserver* observer) override;
    void SetTraceRecord(std::int64_t record) override { m_trace.SetRecord(record); }
    void SetListenOut(bool on) override;
    // Through the export ReadRecords where the library has it and the window is not 1; else one
    // request after another.
    void ReadRecords(int devAddr, std::span<const core::TRecordAsk> asks,
                     const core::TRecordSink& sink) override;
    void SetRecordWindow(int window, int startWindow) override;
    std::pair<int, int> RecordWindowReached() const override { return {m_reached, m_fallback}; }
    // The library's text of why the last Connect failed; empty when it has none to give.
    QString LastErrorDetail() const override;

    void* FHandle = nullptr;
    TDllConnect FDllConnect = nullptr;
    TDllDisconnect FDLLDisconnect = nullptr;
    TDllGetDeviceName FDllGetDeviceName = nullptr;
    TDllTest FDLLTest = nullptr;
    TDllReadInputRegister FDllReadInputRegister = nullptr;
    TDllReadInputRegister FDllReadHoldingRegister = nullptr;
    TDllWriteRegister FDllWriteRegister = nullptr;
    TDllAnyFunction FDllAnyFunction = nullptr;
    TDllRetries FDllRetries = nullptr;
    TDllLastErrorText FDllLastErrorText = nullptr; // optional
    TDllSetTimeouts FDllSetTimeouts = nullptr;     // optional
    void* FDllSetTraceObserver = nullptr;          // optional (typed in the library's header)
    TDllSetListenOut FDllSetListenOut = nullptr;   // optional
    void* FDllReadRecords = nullptr;               // optional (typed in the library's header)

private:
    QString m_loadError;
    core::TLibraryTrace m_trace;
    // The window of ReadRecords (see SetRecordWindow) and what the reading's runs reached.
    int m_window = 1;
    int m_startWindow = 1;
    int m_reached = 0;
    int m_fallback = 0;
    bool m_inRun = false;  // inside the export ReadRecords, where the library's lock is held
    bool m_endRun = false; // Disconnect was called in the run
};

} // namespace core
