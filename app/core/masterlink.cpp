// SPDX-License-Identifier: MIT
#include "app/core/masterlink.h"

#include "ombrel/librarycalls.h"

namespace core {

TMasterLink::TMasterLink() : m_master(std::make_unique<ombrel::RtuAndTcpMaster>()) {}

TMasterLink::~TMasterLink() = default;

bool TMasterLink::Connect(int port, int speed, int linkType) {
    m_error = ombrel::connectPort(*m_master, port, speed, linkType);
    return m_error.isEmpty();
}

void TMasterLink::Disconnect() {
    m_master->close();
}

int TMasterLink::GetDevName(int devAddr, std::uint8_t* buffer, int size) {
    return ombrel::deviceName(*m_master, devAddr, buffer, size);
}

int TMasterLink::ReadInputRegister(int devAddr, int regAddr, int count, int type,
                                   std::uint8_t* buffer) {
    return ombrel::readRegisters(*m_master, QModbusPdu::ReadInputRegisters, devAddr, regAddr, count,
                                 type, buffer);
}

int TMasterLink::ReadHoldingRegister(int devAddr, int regAddr, int count, int type,
                                     std::uint8_t* buffer) {
    return ombrel::readRegisters(*m_master, QModbusPdu::ReadHoldingRegisters, devAddr, regAddr,
                                 count, type, buffer);
}

int TMasterLink::AnyFunction(int devAddr, int funNumber, int size, std::uint8_t* buffer) {
    return ombrel::anyFunction(*m_master, devAddr, funNumber, size, buffer);
}

void TMasterLink::Retries(int retries) {
    m_master->setRetries(retries);
}

void TMasterLink::SetTimeouts(int answerMs, int charMs) {
    ombrel::setTimeouts(*m_master, answerMs, charMs);
}

bool TMasterLink::SetTraceObserver(ITraceObserver* observer) {
    m_trace.SetObserver(observer);
    m_master->setTraceObserver(observer ? TLibraryTrace::Forward : nullptr,
                               observer ? &m_trace : nullptr);
    return true;
}

void TMasterLink::SetListenOut(bool on) {
    m_master->setListenOut(on);
}

} // namespace core
