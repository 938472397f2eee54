// SPDX-License-Identifier: MIT
#include "ombrel/rtuandtcpmaster.h"

#include "accesslib/frames/rtuframe.h"
#include "exchange.h"
#include "exchangetrace.h"
#include "modbusline.h"
#include "requestwindow.h"

#include <algorithm>

namespace ombrel {

RtuAndTcpMaster::RtuAndTcpMaster()
    : m_line(std::make_unique<ModbusLine>()), m_trace(std::make_unique<ExchangeTrace>(*m_line)),
      m_settings(std::make_unique<ExchangeSettings>()) {
    // Function 65's size rules reach Qt before this master's first frame, on whatever thread.
    registerJournalFunction();
}

RtuAndTcpMaster::~RtuAndTcpMaster() = default;

bool RtuAndTcpMaster::open(const QString& devicePath, int baud, bool rs485) {
    return m_line->open(devicePath, baud, rs485);
}

bool RtuAndTcpMaster::openDevice(std::unique_ptr<QIODevice> device, int baud) {
    return m_line->openDevice(std::move(device), baud);
}

const QString& RtuAndTcpMaster::openError() const {
    return m_line->openError();
}

void RtuAndTcpMaster::close() {
    m_line->close();
}

bool RtuAndTcpMaster::isOpen() const {
    return m_line->isOpen();
}

int RtuAndTcpMaster::exchange(quint8 address, const QModbusRequest& request,
                              QModbusResponse* reply) {
    Exchange exchange(*m_line, *m_trace, *m_settings, m_transaction);
    return exchange.run(address, request, reply);
}

RunReport RtuAndTcpMaster::exchangeRun(quint8 address, const QList<QModbusRequest>& requests,
                                       const RunOptions& options, const ResultSink& sink) {
    RequestWindow window(*m_line, *m_trace, *m_settings, m_transaction);
    return window.run(address, requests, options, sink);
}

void RtuAndTcpMaster::setRetries(int retries) {
    m_settings->retries = std::clamp(retries, 0, 100);
}

int RtuAndTcpMaster::retries() const {
    return m_settings->retries;
}

void RtuAndTcpMaster::setTimeouts(int answerMs, int charMs) {
    if (answerMs > 0)
        m_settings->answerMs = std::min(answerMs, 60000);
    if (charMs > 0)
        m_settings->charMs = std::min(charMs, 10000);
}

int RtuAndTcpMaster::answerTimeoutMs() const {
    return m_settings->answerMs;
}

int RtuAndTcpMaster::charTimeoutMs() const {
    return m_settings->charMs;
}

void RtuAndTcpMaster::setConnectTimeout(int ms) {
    if (ms > 0)
        m_line->setConnectLimit(std::chrono::milliseconds(std::min(ms, 60000)));
}

void RtuAndTcpMaster::setTraceObserver(OmbrelTraceObserver observer, void* user) {
    m_trace->setObserver(observer, user);
}

void RtuAndTcpMaster::setListenOut(bool on) {
    m_settings->listenOut = on;
}

} // namespace ombrel
