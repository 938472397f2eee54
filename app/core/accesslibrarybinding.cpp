// SPDX-License-Identifier: MIT
#include "app/core/accesslibrarybinding.h"

#include "app/core/linetrace.h"
#include "ombreldll.h"
#include "platform/messagesink.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cstddef>
#include <dlfcn.h>

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

// Its bytes are copied, since they live only during the call. Fields past the library's own size
// stay at their defaults. Bytes dropped after a request belong to that request's record, also
// when they are dropped just before the next record's request.
void TAccessLibraryBinding::ForwardTraceEvent(const OmbrelTraceEvent* e, void* user) {
    auto* self = static_cast<TAccessLibraryBinding*>(user);
    if (!e || !self->m_traceObserver || e->size < int32_t(offsetof(OmbrelTraceEvent, baud)))
        return;
    core::TFrameEvent f;
    f.kind = static_cast<core::TFrameKind>(std::clamp(e->kind, 0, 5));
    f.timeUs = e->timeUs;
    f.elapsedUs = e->elapsedUs;
    if (e->bytes && e->length > 0)
        f.bytes = QByteArray(reinterpret_cast<const char*>(e->bytes), e->length);
    f.flags = e->flags;
    f.address = e->address;
    f.function = e->function;
    f.exception = e->exception;
    f.attempt = e->attempt;
    f.answerMs = e->answerMs;
    f.offset = e->offset;
    const auto has = [e](std::size_t end) { return e->size >= int32_t(end); };
    if (has(offsetof(OmbrelTraceEvent, baud) + sizeof(e->baud)))
        f.baud = e->baud;
    if (has(offsetof(OmbrelTraceEvent, omitted) + sizeof(e->omitted)))
        f.omitted = e->omitted;
    if (has(offsetof(OmbrelTraceEvent, link) + sizeof(e->link)))
        f.link = static_cast<core::TTraceLink>(std::clamp(e->link, 0, 2));
    if (f.kind == core::TFrameKind::Request)
        self->m_frameRecord = self->m_traceRecord;
    f.record = self->m_frameRecord;
    if (has(offsetof(OmbrelTraceEvent, item) + sizeof(e->item))) {
        f.window = e->window;
        f.inFlight = e->inFlight;
        // In a run with requests in flight each event names its record by its position.
        if (const auto* records = self->m_runRecords)
            f.record =
                e->item >= 0 && e->item < qsizetype(records->size()) ? (*records)[e->item] : -1;
    }
    self->m_traceObserver->OnFrame(f);
}

bool TAccessLibraryBinding::LoadAccessLibrary(const QString& programDirectory,
                                              IMessageSink* messages) {
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
    m_traceObserver = observer;
    reinterpret_cast<TSetTraceObserver>(FDllSetTraceObserver)(
        observer ? ForwardTraceEvent : nullptr, observer ? this : nullptr);
    return true;
}

void TAccessLibraryBinding::SetListenOut(bool on) {
    if (FDllSetListenOut && !m_inRun)
        FDllSetListenOut(on ? 1 : 0);
}

namespace {

struct TSinkCall {
    const TRecordSink* sink;
    const bool* end; // a Disconnect came during the run
};

std::int32_t ForwardRecord(std::int32_t item, std::int32_t result, const std::uint8_t* reply,
                           void* user) {
    const auto* call = static_cast<TSinkCall*>(user);
    return (*call->sink)(item, result, reply) && !*call->end ? 1 : 0;
}

} // namespace

int TAccessLibraryBinding::ReadRecords(int devAddr, TRecordRun& run, const TRecordSink& sink) {
    if (!FDllReadRecords)
        return IAccessLibrary::ReadRecords(devAddr, run, sink);
    std::vector<std::uint8_t> requests;
    requests.reserve(run.requests.size() * 7);
    for (const auto& r : run.requests)
        requests.insert(requests.end(), r.begin(), r.end());
    OmbrelRecordRun c{};
    c.size = sizeof c;
    c.window = run.window;
    c.startWindow = run.startWindow;
    // The sink runs with the library's lock held, and pending window events run inside it: a call
    // into the library from there would wait for that lock for ever. Such calls fail instead, and
    // a Disconnect ends the run and closes the port once it has returned.
    m_inRun = true;
    m_endRun = false;
    TSinkCall call{&sink, &m_endRun};
    m_runRecords = &run.records;
    int code = reinterpret_cast<decltype(&::ReadRecords)>(FDllReadRecords)(
        devAddr, requests.data(), static_cast<std::int32_t>(run.requests.size()), &c, ForwardRecord,
        &call);
    m_runRecords = nullptr;
    m_inRun = false;
    if (m_endRun) {
        Disconnect();
        code = kChannelClosed;
    }
    run.windowReached = code == 0 ? std::clamp<int>(c.windowReached, 1, OMBREL_WINDOW_MAX) : 1;
    run.fallback = c.fallback;
    return code;
}
