// SPDX-License-Identifier: MIT
#include "collect/linereader.h"

#include "app/cli/journalread.h"
#include "app/core/archiverecorder.h"
#include "app/core/errortexts.h"
#include "app/core/masterlink.h"
#include "app/core/readingrun.h"
#include "app/core/selectors.h"
#include "collect/metrics.h"
#include "comm/ipc/resultcodes.h"

#include <thread>

namespace collect {
namespace {

// Codes of a request that reached nobody: the instrument or its line is gone, and every further
// request would wait out its answer time in vain.
bool LinkLost(int code) {
    return code == comm::ipc::rcNoAnswer || code == comm::ipc::rcChannelClosed ||
           code == comm::ipc::rcNoTransport;
}

// The run's host in a collector: nothing is shown; its message is kept as the reading's error,
// and the run stops between requests when the collector ends or the instrument stopped
// answering.
class TCollectorRunHost : public core::TSilentRunHost {
public:
    TCollectorRunHost(const std::function<bool()>& stopRequested, const TQuirkLink& link)
        : m_stopRequested(stopRequested), m_link(link) {}

    void setRun(core::TReadingRun* run) { m_run = run; }
    const QString& message() const { return m_message; }
    bool stopAsked() const { return m_stopAsked; }

    void ShowMessage(const QString& text, const QString& detail) override {
        if (m_message.isEmpty())
            m_message = detail.isEmpty() ? text : text + u' ' + detail;
    }
    void BetweenCalls() override {
        if (!m_run)
            return;
        if (m_stopRequested())
            m_stopAsked = true;
        if (m_stopAsked || m_link.linkFailure() != 0)
            m_run->Stop();
    }

private:
    const std::function<bool()>& m_stopRequested;
    const TQuirkLink& m_link;
    core::TReadingRun* m_run = nullptr;
    QString m_message;
    bool m_stopAsked = false;
};

// Why a run of a journal did not get to its end; empty when it did.
QString RunError(const core::TRunResult& r, const TCollectorRunHost& host, int linkFailure) {
    if (linkFailure != 0 && r.end == core::TRunEnd::Stopped)
        return QStringLiteral("%1 на записи %2")
            .arg(core::ErrorMessage(linkFailure),
                 QString::number(r.failedRecords.empty() ? r.startrec : r.failedRecords.back()));
    switch (r.end) {
    case core::TRunEnd::Finished:
    case core::TRunEnd::Stopped:
        return {};
    case core::TRunEnd::CountReadFailed:
    case core::TRunEnd::OverflowReadFailed:
        return QStringLiteral("Количество записей не прочитано: %1").arg(r.message);
    default:
        return host.message().isEmpty() ? r.message : host.message();
    }
}

} // namespace

TPortNumbers MapPorts(const TInstrumentList& list, const QString& mainIniPath) {
    TPortNumbers numbers;
    for (const TInstrument& instrument : list.instruments) {
        if (numbers.count(instrument.port))
            continue;
        const core::TPortChoice port =
            core::ResolvePortChoice({}, {}, -1, instrument.port, mainIniPath);
        if (port.ok())
            cli::ExportPortMapping(port.number, mainIniPath);
        numbers[instrument.port] = {port.number, port.error};
    }
    return numbers;
}

TQuirkLink::TQuirkLink(core::IModbusLink& inner, TCollectorMetrics& metrics, QString line)
    : m_inner(inner), m_metrics(metrics), m_line(std::move(line)) {}

void TQuirkLink::Begin(const TInstrument& instrument, std::function<bool()> stopRequested) {
    m_stop = std::move(stopRequested);
    m_requestPauseMs = instrument.requestPauseMs;
    m_connectPauseMs = instrument.connectPauseMs;
    m_keep = instrument.keepConnection;
    m_linkFailure = 0;
}

void TQuirkLink::Close() {
    if (m_connected)
        m_inner.Disconnect();
    m_connected = false;
}

void TQuirkLink::Pause(int ms) {
    const auto until = TClock::now() + std::chrono::milliseconds(ms);
    while (!m_stop()) {
        const auto left = until - TClock::now();
        if (left <= TClock::duration::zero())
            return;
        std::this_thread::sleep_for(
            std::min<TClock::duration>(left, std::chrono::milliseconds(50)));
    }
}

bool TQuirkLink::Connect(int port, int speed, int linkType) {
    // The instrument's journals are read on one connection, and a kept one serves the next
    // reading of the line when it goes to the same port.
    if (m_connected && port == m_port && speed == m_speed && linkType == m_linkType)
        return true;
    Close();
    if (!m_inner.Connect(port, speed, linkType))
        return false;
    m_connected = true;
    m_port = port;
    m_speed = speed;
    m_linkType = linkType;
    Pause(m_connectPauseMs);
    m_lastExchange = TClock::now();
    return true;
}

void TQuirkLink::Disconnect() {
    // The reader closes the connection after the instrument's last journal (see Close).
}

void TQuirkLink::Count(int code, TClock::time_point began) {
    m_lastExchange = TClock::now();
    m_metrics.Exchange(m_line, std::chrono::duration<double>(m_lastExchange - began).count());
    if (LinkLost(code) && m_linkFailure == 0)
        m_linkFailure = code;
}

int TQuirkLink::Exchange(const std::function<int()>& call) {
    if (m_requestPauseMs > 0)
        Pause(int(std::chrono::duration_cast<std::chrono::milliseconds>(
                      m_lastExchange + std::chrono::milliseconds(m_requestPauseMs) - TClock::now())
                      .count()));
    const auto began = TClock::now();
    const int code = call();
    Count(code, began);
    return code;
}

int TQuirkLink::GetDevName(int devAddr, std::uint8_t* buffer, int size) {
    return Exchange([&] { return m_inner.GetDevName(devAddr, buffer, size); });
}

int TQuirkLink::ReadInputRegister(int devAddr, int regAddr, int count, int type,
                                  std::uint8_t* buffer) {
    return Exchange(
        [&] { return m_inner.ReadInputRegister(devAddr, regAddr, count, type, buffer); });
}

int TQuirkLink::ReadHoldingRegister(int devAddr, int regAddr, int count, int type,
                                    std::uint8_t* buffer) {
    return Exchange(
        [&] { return m_inner.ReadHoldingRegister(devAddr, regAddr, count, type, buffer); });
}

int TQuirkLink::AnyFunction(int devAddr, int funNumber, int size, std::uint8_t* buffer) {
    return Exchange([&] { return m_inner.AnyFunction(devAddr, funNumber, size, buffer); });
}

void TQuirkLink::ReadRecords(int devAddr, std::span<const core::TRecordAsk> asks,
                             const core::TRecordSink& sink) {
    // With a pause between requests they go one at a time, each through AnyFunction; without,
    // the link may keep several in flight, and each answer counts from the one before.
    if (m_requestPauseMs > 0) {
        core::IModbusLink::ReadRecords(devAddr, asks, sink);
        return;
    }
    auto began = TClock::now();
    m_inner.ReadRecords(devAddr, asks, [&](std::size_t item, int code, const std::uint8_t* reply) {
        Count(code, began);
        began = m_lastExchange;
        return sink(item, code, reply);
    });
}

TMasterLineReader::TMasterLineReader(const TLine& line, TCollectorMetrics& metrics,
                                     const QString& archiveUrl, TPortNumbers portNumbers,
                                     std::unique_ptr<core::IModbusLink> link)
    : m_link(link ? std::move(link) : std::make_unique<core::TMasterLink>()),
      m_quirks(*m_link, metrics, line.key), m_archiveUrl(archiveUrl),
      m_portNumbers(std::move(portNumbers)) {}

TMasterLineReader::~TMasterLineReader() {
    m_quirks.Close();
}

TReadingOutcome TMasterLineReader::Read(const TInstrument& instrument,
                                        const std::function<bool()>& stopRequested) {
    TReadingOutcome outcome;
    m_quirks.Begin(instrument, stopRequested);
    // A recorder of the reading's own: its connections to the archive end with the reading.
    core::TArchiveRecorder recorder(m_archiveUrl);
    recorder.SetPerInstrument(true);
    const auto port = m_portNumbers.find(instrument.port);
    for (const int journal : instrument.journals) {
        core::TRunRequest request;
        request.device = instrument.device;
        request.journalIndex = journal - 1;
        if (port != m_portNumbers.end() && port->second.number > 0)
            request.portNumber = port->second.number;
        else
            request.portError =
                port != m_portNumbers.end()
                    ? port->second.error
                    : QStringLiteral("Порт %1 не сопоставлен.").arg(instrument.port);
        request.portName = instrument.port;
        request.speed = instrument.speed > 0 ? instrument.speed : comm::ipc::kDefaultBaudRate;
        request.linkType = instrument.linkType;
        request.devAddr = instrument.address;
        request.retries = instrument.retries;
        request.answerTime = instrument.answerTime;
        request.incremental = true;

        core::TListGrids grids;
        TCollectorRunHost host(stopRequested, m_quirks);
        core::TReadingRun run(m_quirks, grids.runDecoder, grids.sg, host);
        host.setRun(&run);
        run.SetArchive(&recorder);
        const core::TRunResult result = run.Run(request);
        recorder.Finish(stopRequested);
        outcome.newRecords += result.recordsDone() - result.recordsFromArchive;
        outcome.failedRecords += result.recordsFailed;
        outcome.error = RunError(result, host, m_quirks.linkFailure());
        if (!outcome.error.isEmpty())
            break;
        if (host.stopAsked() && result.end == core::TRunEnd::Stopped) {
            outcome.stopped = true;
            break;
        }
    }
    if (!instrument.keepConnection || !outcome.error.isEmpty())
        m_quirks.Close();
    if (const auto error = recorder.TakeError(); error && outcome.error.isEmpty())
        outcome.error = *error;
    outcome.ok = outcome.error.isEmpty() && !outcome.stopped;
    return outcome;
}

TLineReaderFactory MasterLineReaders(const QString& archiveUrl, TPortNumbers portNumbers) {
    return [archiveUrl, portNumbers](const TLine& line, TCollectorMetrics& metrics) {
        return std::make_unique<TMasterLineReader>(line, metrics, archiveUrl, portNumbers);
    };
}

} // namespace collect
