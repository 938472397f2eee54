// SPDX-License-Identifier: MIT
#pragma once

#include "accesslib/frames/answerledger.h"
#include "accesslib/frames/rtuframe.h"

#include <QByteArray>
#include <QModbusPdu>

#include <chrono>

namespace ombrel {

class ExchangeTrace;
class ModbusLine;

// How a master makes its exchanges.
struct ExchangeSettings {
    int retries = 0;
    int answerMs = 500; // time to wait for the first byte of an answer
    int charMs = 50;    // time to wait for each further byte once it started
    bool listenOut = true;
};

// One exchange of a master on its line: the tries of a request (the silence kept before each),
// the answer taken from what comes back, and the answers still due listened out at the end, as
// the master's exchange() describes.
class Exchange {
public:
    using Clock = std::chrono::steady_clock;

    // `transaction` is the master's count of exchanges, which numbers Modbus TCP requests.
    Exchange(ModbusLine& line, ExchangeTrace& trace, const ExchangeSettings& settings,
             quint16& transaction);

    // The result code; on rcOk, reply holds the answer PDU.
    [[nodiscard]] int run(quint8 address, const QModbusRequest& request, QModbusResponse* reply);
    // Tries sent so far (a try made again on a new connection counts twice).
    int tries() const { return m_ledger.tries(); }

private:
    // A connection to an endpoint found lost is opened again, once in an exchange.
    bool lineBack();
    int attempt(quint8 address, const QModbusRequest& request, QModbusResponse* reply);
    ReplyScan scanAnswer(quint8 address, quint8 fc);
    // Reads what comes within timeoutMs into m_rx (and the trace); false on time-out or when
    // the port failed.
    bool readSome(int timeoutMs);
    void keepInterFrameGap();
    void settleAfterTry(quint8 address, quint8 fc);
    void listenOut(quint8 address, quint8 fc);

    ModbusLine& m_line;
    ExchangeTrace& m_trace;
    const ExchangeSettings m_settings;
    quint16& m_transaction;
    AnswerLedger m_ledger;
    QByteArray m_rx;
    Clock::time_point m_tryEnd{}; // the latest a try's answer may still be arriving
    bool m_reopened = false;
};

} // namespace ombrel
