// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/modbuslink.h"
#include "collect/instrumentreader.h"

#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <vector>

// A line's reader on a Modbus link of its own: each journal of an instrument read as "Дочитать"
// reads it (the reading run of the window and journal-read, with the archive recorder), the
// instrument's quirks kept on the link.
namespace collect {

// The COM number each port of the list (as written there) is reached by, or why it cannot be.
struct TPortNumber {
    int number = 0;
    QString error;
};
using TPortNumbers = std::map<QString, TPortNumber>;

// Gives every port of the list a COM number, mapping device paths and endpoints in the process's
// port mappings as journal-read does. The mappings live in the environment: call it before the
// lines' threads start (they only read them).
TPortNumbers MapPorts(const TInstrumentList& list, const QString& mainIniPath);

// The instrument's quirks around a line's link: a pause after connecting, a pause between two
// requests, the connection kept between readings or closed after each. It times every exchange
// into the metrics, cuts its pauses short when the collector is ending, and notes a request the
// instrument did not answer at all, so that the reading ends there instead of waiting out every
// record of an instrument that is gone.
class TQuirkLink : public core::IModbusLink {
public:
    TQuirkLink(core::IModbusLink& inner, TCollectorMetrics& metrics, QString line);

    // The instrument read from now on and the collector's stop request.
    void Begin(const TInstrument& instrument, std::function<bool()> stopRequested);
    // Closes the connection, kept or not.
    void Close();
    // The code of a request that found nothing at the other end (no answer, the channel closed);
    // 0 while every request was answered since Begin.
    int linkFailure() const { return m_linkFailure; }

    bool Connect(int port, int speed, int linkType) override;
    void Disconnect() override;
    int GetDevName(int devAddr, std::uint8_t* buffer, int size) override;
    int ReadInputRegister(int devAddr, int regAddr, int count, int type,
                          std::uint8_t* buffer) override;
    int ReadHoldingRegister(int devAddr, int regAddr, int count, int type,
                            std::uint8_t* buffer) override;
    int AnyFunction(int devAddr, int funNumber, int size, std::uint8_t* buffer) override;
    void Retries(int retries) override { m_inner.Retries(retries); }
    void SetTimeouts(int answerMs, int charMs) override { m_inner.SetTimeouts(answerMs, charMs); }
    bool SetTraceObserver(core::ITraceObserver* observer) override {
        return m_inner.SetTraceObserver(observer);
    }
    void SetTraceRecord(std::int64_t record) override { m_inner.SetTraceRecord(record); }
    void SetListenOut(bool on) override { m_inner.SetListenOut(on); }
    QString LastErrorDetail() const override { return m_inner.LastErrorDetail(); }
    void ReadRecords(int devAddr, std::span<const core::TRecordAsk> asks,
                     const core::TRecordSink& sink) override;
    void SetRecordWindow(int window, int startWindow) override {
        m_inner.SetRecordWindow(window, startWindow);
    }
    std::pair<int, int> RecordWindowReached() const override {
        return m_inner.RecordWindowReached();
    }

private:
    using TClock = std::chrono::steady_clock;
    // Waits `ms` unless the collector is ending.
    void Pause(int ms);
    // One exchange: the pause since the last one, the call, its time and its failure.
    int Exchange(const std::function<int()>& call);
    void Count(int code, TClock::time_point began);

    core::IModbusLink& m_inner;
    TCollectorMetrics& m_metrics;
    const QString m_line;
    std::function<bool()> m_stop = [] { return false; };
    int m_requestPauseMs = 0;
    int m_connectPauseMs = 0;
    bool m_keep = false;
    bool m_connected = false;
    int m_port = 0, m_speed = 0, m_linkType = 0; // of the open connection
    TClock::time_point m_lastExchange{};
    int m_linkFailure = 0;
};

// The reader of one line: its own master linked in, the quirk link around it, and a recorder of
// the archive at `archiveUrl`. `portNumbers` gives the COM number each port of the list is reached
// by (see MapPorts).
class TMasterLineReader : public ILineReader {
public:
    TMasterLineReader(const TLine& line, TCollectorMetrics& metrics, const QString& archiveUrl,
                      TPortNumbers portNumbers, std::unique_ptr<core::IModbusLink> link = nullptr);
    ~TMasterLineReader() override;

    TReadingOutcome Read(const TInstrument& instrument,
                         const std::function<bool()>& stopRequested) override;
    void Close() override { m_quirks.Close(); }

private:
    std::unique_ptr<core::IModbusLink> m_link;
    TQuirkLink m_quirks;
    QString m_archiveUrl;
    TPortNumbers m_portNumbers;
};

// Makes a TMasterLineReader for each line.
TLineReaderFactory MasterLineReaders(const QString& archiveUrl, TPortNumbers portNumbers);

} // namespace collect
