// SPDX-License-Identifier: MIT
#include "app/core/accesslibrarybinding.h"

#include "app/core/linetrace.h"
#include "ombreldll.h"
#include "platform/messagesink.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <vector>

#include <dlfcn.h>

namespace core {

namespace {

template <typename F> bool resolve(void* handle, const char* name, F& target, QString& error) {
    target = reinterpret_cast<F>(dlsym(handle, name));
    if (!target)
        error = QStringLiteral("В библиотеке %1 нет функции «%2»")
                    .arg(QString::fromLatin1(TAccessLibraryBinding::kFileName),
                         QString::fromLatin1(name));
    return target != nullptr;
}

} // namespace

bool TAccessLibraryBinding::LoadAccessLibrary(const QString& programDirectory,
                                              platform::IMessageSink* messages) {
    m_loadError.clear();
    const QString local = QDir(programDirectory).filePath(QString::fromLatin1(kFileName));
    FHandle = dlopen(QFile::encodeName(local).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!FHandle) {
        // The loader's own text only when the file is there but does not load (it then names
        // the missing dependency or symbol); a missing file is said in words of our own.
        m_loadError = QFile::exists(local) ? QStringLiteral("Файл %1 не загружается: %2")
                                                 .arg(local, QString::fromLocal8Bit(dlerror()))
                                           : QStringLiteral("Нет файла %1").arg(local);
        FHandle = dlopen(kFileName, RTLD_NOW | RTLD_LOCAL);
    }
    if (!FHandle) {
        if (messages)
            messages->error(QStringLiteral("Библиотека OmbrelDLL.dll не найдена"));
        return false;
    }
    FDllLastErrorText = reinterpret_cast<TDllLastErrorText>(dlsym(FHandle, "LastErrorText"));
    FDllSetTimeouts = reinterpret_cast<TDllSetTimeouts>(dlsym(FHandle, "SetTimeouts"));
    FDllSetTraceObserver = dlsym(FHandle, "SetTraceObserver");
    FDllSetListenOut = reinterpret_cast<TDllSetListenOut>(dlsym(FHandle, "SetListenOut"));
    FDllReadRecords = dlsym(FHandle, "ReadRecords");
    return resolve(FHandle, "Connect", FDllConnect, m_loadError) &&
           resolve(FHandle, "Disconnect", FDLLDisconnect, m_loadError) &&
           resolve(FHandle, "GetDevName", FDllGetDeviceName, m_loadError) &&
           resolve(FHandle, "Test", FDLLTest, m_loadError) &&
           resolve(FHandle, "ReadInputRegister", FDllReadInputRegister, m_loadError) &&
           resolve(FHandle, "ReadHoldingRegister", FDllReadHoldingRegister, m_loadError) &&
           resolve(FHandle, "WriteRegister", FDllWriteRegister, m_loadError) &&
           resolve(FHandle, "AnyFunction", FDllAnyFunction, m_loadError) &&
           resolve(FHandle, "Retries", FDllRetries, m_loadError);
}

bool TAccessLibraryBinding::isComplete() const {
    return FDllConnect && FDLLDisconnect && FDllGetDeviceName && FDLLTest &&
           FDllReadInputRegister && FDllReadHoldingRegister && FDllWriteRegister &&
           FDllAnyFunction && FDllRetries;
}

bool TAccessLibraryBinding::Connect(int port, int speed, int linkType) {
    // The link type travels as 8 bits (0 = RS-232, 1 = RS-485).
    return FDllConnect && !m_inRun && FDllConnect(port, speed, linkType & 0xFF) != 0;
}

void TAccessLibraryBinding::Disconnect() {
    if (m_inRun)
        m_endRun = true; // the port is closed as soon as the run has returned
    else if (FDLLDisconnect)
        FDLLDisconnect();
}

int TAccessLibraryBinding::GetDevName(int devAddr, std::uint8_t* buffer, int size) {
    return FDllGetDeviceName && !m_inRun ? FDllGetDeviceName(devAddr, buffer, size)
                                         : kChannelClosed;
}

int TAccessLibraryBinding::ReadInputRegister(int devAddr, int regAddr, int count, int type,
                                             std::uint8_t* buffer) {
    return FDllReadInputRegister && !m_inRun
               ? FDllReadInputRegister(devAddr, regAddr, count, type, buffer)
               : kChannelClosed;
}

int TAccessLibraryBinding::ReadHoldingRegister(int devAddr, int regAddr, int count, int type,
                                               std::uint8_t* buffer) {
    return FDllReadHoldingRegister && !m_inRun
               ? FDllReadHoldingRegister(devAddr, regAddr, count, type, buffer)
               : kChannelClosed;
}

int TAccessLibraryBinding::AnyFunction(int devAddr, int funNumber, int size, std::uint8_t* buffer) {
    return FDllAnyFunction && !m_inRun ? FDllAnyFunction(devAddr, funNumber, size, buffer)
                                       : kChannelClosed;
}

void TAccessLibraryBinding::Retries(int retries) {
    if (FDllRetries && !m_inRun)
        FDllRetries(retries);
}

void TAccessLibraryBinding::SetTimeouts(int answerMs, int charMs) {
    if (FDllSetTimeouts && !m_inRun)
        FDllSetTimeouts(answerMs, charMs);
}

QString TAccessLibraryBinding::LastErrorDetail() const {
    if (!FDllLastErrorText || m_inRun)
        return {};
    char text[1024] = {};
    if (FDllLastErrorText(text, sizeof text) <= 0)
        return {};
    text[sizeof text - 1] = '\0'; // whatever the library wrote, the text ends in the buffer
    return QString::fromUtf8(text);
}

bool TAccessLibraryBinding::SetTraceObserver(core::ITraceObserver* observer) {
    if (!FDllSetTraceObserver || m_inRun)
        return false;
    using TSetTraceObserver = std::int32_t (*)(OmbrelTraceObserver, void*);
    m_trace.SetObserver(observer);
    reinterpret_cast<TSetTraceObserver>(FDllSetTraceObserver)(
        observer ? core::TLibraryTrace::Forward : nullptr, observer ? &m_trace : nullptr);
    return true;
}

void TAccessLibraryBinding::SetListenOut(bool on) {
    if (FDllSetListenOut && !m_inRun)
        FDllSetListenOut(on ? 1 : 0);
}

void TAccessLibraryBinding::SetRecordWindow(int window, int startWindow) {
    m_window = std::clamp(window, 0, int(OMBREL_WINDOW_MAX));
    m_startWindow = std::clamp(startWindow, 1, int(OMBREL_WINDOW_MAX));
    m_reached = 0;
    m_fallback = core::kNoFallback;
}

namespace {

struct TSinkCall {
    const core::TRecordSink* sink;
    const bool* end;           // a Disconnect came during the run
    std::size_t delivered = 0; // results handed on
    bool goOn = true;          // the sink wants more
};

std::int32_t ForwardRecord(std::int32_t item, std::int32_t result, const std::uint8_t* reply,
                           void* user) {
    auto* call = static_cast<TSinkCall*>(user);
    ++call->delivered;
    call->goOn = (*call->sink)(std::size_t(item), result, reply);
    return call->goOn && !*call->end ? 1 : 0;
}

} // namespace

void TAccessLibraryBinding::ReadRecords(int devAddr, std::span<const core::TRecordAsk> asks,
                                        const core::TRecordSink& sink) {
    if (m_window == 1 || !FDllReadRecords || m_inRun) {
        IModbusLink::ReadRecords(devAddr, asks, sink);
        return;
    }
    std::vector<std::uint8_t> requests;
    std::vector<std::int64_t> records;
    requests.reserve(asks.size() * 7);
    for (const core::TRecordAsk& ask : asks) {
        const auto request = core::RecordRequest(ask.archiveNumber, ask.requestIndex);
        requests.insert(requests.end(), request.begin(), request.end());
        records.push_back(ask.number);
    }
    OmbrelRecordRun run{};
    run.size = sizeof run;
    // After a fallback the rest of the reading asks one request at a time.
    run.window = m_fallback != core::kNoFallback ? 1 : m_window;
    run.startWindow = m_startWindow;
    // The sink runs with the library's lock held, and pending window events may run inside it: a
    // call into the library from there would wait for that lock for ever. Such calls fail
    // instead, and a Disconnect ends the run and closes the port once it has returned.
    m_inRun = true;
    m_endRun = false;
    TSinkCall call{&sink, &m_endRun};
    m_trace.SetRunRecords(&records);
    int code = reinterpret_cast<decltype(&::ReadRecords)>(FDllReadRecords)(
        devAddr, requests.data(), static_cast<std::int32_t>(asks.size()), &run, ForwardRecord,
        &call);
    m_trace.SetRunRecords(nullptr);
    m_inRun = false;
    if (code == 0) {
        m_reached = std::clamp<int>(run.windowReached, 1, OMBREL_WINDOW_MAX);
        m_startWindow = m_reached; // where the reading's next run begins
        if (run.fallback != OMBREL_FALLBACK_NONE)
            m_fallback = run.fallback == OMBREL_FALLBACK_CLOSED ? core::kFallbackClosed
                                                                : core::kFallbackUnanswered;
    }
    if (m_endRun) {
        Disconnect();
        code = kChannelClosed;
    }
    // A run that could not begin, or was cut short, leaves its records failed, not missing.
    std::uint8_t none[256] = {};
    for (std::size_t item = call.delivered; call.goOn && item < asks.size(); ++item)
        call.goOn = sink(item, code != 0 ? code : kChannelClosed, none);
}

} // namespace core
