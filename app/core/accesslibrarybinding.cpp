// SPDX-License-Identifier: MIT
#include "app/core/accesslibrarybinding.h"

#include "app/core/linetrace.h"
#include "ombreldll.h"
#include "platform/messagesink.h"

#include <QDir>
#include <QFile>

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
    return FDllConnect && FDllConnect(port, speed, linkType & 0xFF) != 0;
}

void TAccessLibraryBinding::Disconnect() {
    if (FDLLDisconnect)
        FDLLDisconnect();
}

int TAccessLibraryBinding::GetDevName(int devAddr, std::uint8_t* buffer, int size) {
    return FDllGetDeviceName ? FDllGetDeviceName(devAddr, buffer, size) : kChannelClosed;
}

int TAccessLibraryBinding::ReadInputRegister(int devAddr, int regAddr, int count, int type,
                                             std::uint8_t* buffer) {
    return FDllReadInputRegister ? FDllReadInputRegister(devAddr, regAddr, count, type, buffer)
                                 : kChannelClosed;
}

int TAccessLibraryBinding::ReadHoldingRegister(int devAddr, int regAddr, int count, int type,
                                               std::uint8_t* buffer) {
    return FDllReadHoldingRegister ? FDllReadHoldingRegister(devAddr, regAddr, count, type, buffer)
                                   : kChannelClosed;
}

int TAccessLibraryBinding::AnyFunction(int devAddr, int funNumber, int size, std::uint8_t* buffer) {
    return FDllAnyFunction ? FDllAnyFunction(devAddr, funNumber, size, buffer) : kChannelClosed;
}

void TAccessLibraryBinding::Retries(int retries) {
    if (FDllRetries)
        FDllRetries(retries);
}

void TAccessLibraryBinding::SetTimeouts(int answerMs, int charMs) {
    if (FDllSetTimeouts)
        FDllSetTimeouts(answerMs, charMs);
}

QString TAccessLibraryBinding::LastErrorDetail() const {
    if (!FDllLastErrorText)
        return {};
    char text[1024] = {};
    if (FDllLastErrorText(text, sizeof text) <= 0)
        return {};
    text[sizeof text - 1] = '\0'; // whatever the library wrote, the text ends in the buffer
    return QString::fromUtf8(text);
}

bool TAccessLibraryBinding::SetTraceObserver(core::ITraceObserver* observer) {
    if (!FDllSetTraceObserver)
        return false;
    using TSetTraceObserver = std::int32_t (*)(OmbrelTraceObserver, void*);
    m_trace.SetObserver(observer);
    reinterpret_cast<TSetTraceObserver>(FDllSetTraceObserver)(
        observer ? core::TLibraryTrace::Forward : nullptr, observer ? &m_trace : nullptr);
    return true;
}

void TAccessLibraryBinding::SetListenOut(bool on) {
    if (FDllSetListenOut)
        FDllSetListenOut(on ? 1 : 0);
}
