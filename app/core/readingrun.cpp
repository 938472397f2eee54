// SPDX-License-Identifier: MIT
#include "app/core/readingrun.h"

#include "app/core/catalogue.h"
#include "app/core/errortexts.h"
#include "app/core/selectors.h"
#include "app/core/windowtexts.h"
#include "archive/archivetypes.h"
#include "platform/inifile.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <tuple>

namespace core {

namespace {

constexpr int kRegisterBufferSize = 252;

// The reply buffer of a stored answer: its bytes, the rest zeroed as the access library leaves it.
void StoredReply(const QByteArray& bytes, std::uint8_t* reply) {
    std::fill(reply, reply + core::kReplySize, std::uint8_t(0));
    std::memcpy(reply, bytes.constData(),
                static_cast<std::size_t>(std::min<qsizetype>(bytes.size(), core::kReplySize)));
}

QString IncrementalStatus(const TRunResult& r) {
    if (r.incremental == TIncremental::NewSeries)
        return QStringLiteral("Прибор не совпал с архивом: журнал считан полностью, новая серия");
    if (r.incremental == TIncremental::ArchiveUnavailable)
        return QStringLiteral("Не удалось открыть архив: журнал считан полностью");
    return QStringLiteral("Дочитано: новых записей %1, из архива %2")
        .arg(r.recordsDone() - r.recordsFromArchive)
        .arg(r.recordsFromArchive);
}

// A 64-bit position or count for the progress bar, which counts in int.
int ProgressValue(std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, std::numeric_limits<int>::min(),
                                                     std::numeric_limits<int>::max()));
}

// Register address of a reference number; one the library refuses when it does not fit an int.
int RegisterAddress(int reference, int base) {
    const std::int64_t address = std::int64_t(reference) - base;
    return address >= std::numeric_limits<int>::min() ? static_cast<int>(address) : -1;
}

} // namespace

void TRunDecoder::BeginRun(const TDevInfo* device, int journalIndex, std::int64_t startrec) {
    m_decoder.setDevice(device);
    m_decoder.setJournalIndex(journalIndex);
    m_decoder.setStartRec(startrec);
}

void TRunDecoder::DecodeFixedReply(int index, const std::uint8_t* reply, int requestIndex) {
    m_decoder.DecodeFixedReply(index, core::TReplyView(reply, core::kReplySize), requestIndex);
}

void TRunDecoder::DecodeTextRecord(int index, const std::uint8_t* reply) {
    m_decoder.DecodeTextRecord(index, core::TReplyView(reply, core::kReplySize));
}

void TRunDecoder::DecodeModeRecord(int index, const std::uint8_t* reply) {
    m_decoder.DecodeModeRecord(index, core::TReplyView(reply, core::kReplySize));
}

void TRunDecoder::ScrollToLastRow() {
    m_decoder.ScrollToLastRow();
}

void TRunDecoder::ClearGroupData() {
    m_decoder.ClearGroupData(m_sgGr);
}

void TRunDecoder::BuildGroupView() {
    m_decoder.BuildGroupView(m_sgGr);
}

QString TRunDecoder::RunNotice() const {
    return m_decoder.UnparsedTimeMessage();
}

TRunRequest RunRequestFor(const TDevInfo* device, int journalIndex, const core::TLinkChoice& link,
                          const QString& portName, const core::TConnectionSettings& line) {
    TRunRequest request;
    request.device = device;
    request.journalIndex = journalIndex;
    if (link.ok())
        request.portNumber = link.port;
    else
        request.portError = link.error;
    request.portName = portName;
    request.speed = link.speed;
    request.linkType = line.lastlink;
    request.devAddr = line.lastaddr.value_or(1);
    request.retries = line.Retries;
    request.answerTime = line.AnswerTime;
    return request;
}

QString StoppedText(const TRunResult& r) {
    if (r.end != TRunEnd::Stopped)
        return {};
    return QStringLiteral("Остановлено на записи %1: считано %2 из %3")
        .arg(r.startrec + r.recordsDone() - 1)
        .arg(r.recordsDone())
        .arg(r.CountRec);
}

QString JournalProblem(const TJournalInfo& journal) {
    if (journal.Cycle && journal.CountRec > kRecordPositions)
        return QStringLiteral("Кольцевой журнал «%1» на %2 записей: запрос адресует не больше "
                              "65536 записей.")
            .arg(journal.Name, QString::number(journal.CountRec));
    return {};
}

TRecordLoop RecordLoopFor(const TJournalInfo& journal, int journalIndex) {
    switch (journal.typedev) {
    case tdPlain:
    case tdPlain2:
    case tdPlain3:
    case tdPlain4:
        return TRecordLoop::Fixed;
    case tdMarlo:
    case tdQuint:
        return journalIndex == 0 ? TRecordLoop::Text : TRecordLoop::Mode;
    default:
        return TRecordLoop::None;
    }
}

int RingSizeFor(const TJournalInfo& journal, TRecordLoop loop) {
    // A ring without size cannot wrap.
    return loop == TRecordLoop::Fixed && journal.Cycle && journal.CountRec > 0 ? journal.CountRec
                                                                               : 0;
}

int RequestIndexFor(const TJournalInfo& journal, TRecordLoop loop, std::int64_t number) {
    const int ring = RingSizeFor(journal, loop);
    return static_cast<int>(ring > 0 ? number % ring : number);
}

void ShowRecord(IRecordDecoder& decoder, IStringGrid& sg, TRecordLoop loop, int i,
                std::int64_t startrec, int requestIndex, const std::uint8_t* reply, int code) {
    sg.setRowCount(i + 2);
    if (code != 0) {
        core::WriteErrorRow(sg, i, startrec + i, core::ErrorMessage(code));
        decoder.ScrollToLastRow();
    } else if (loop == TRecordLoop::Fixed) {
        decoder.DecodeFixedReply(i, reply, requestIndex);
    } else if (loop == TRecordLoop::Text) {
        decoder.DecodeTextRecord(i, reply);
    } else {
        sg.setCell(i + 1, 0, QString::number(startrec + i));
        decoder.DecodeModeRecord(i, reply);
    }
}

void ShowStoredRecords(IRecordDecoder& decoder, IStringGrid& sg, const TDevInfo& device,
                       int journalIndex, std::int64_t startrec, int count,
                       const std::vector<TStoredRecord>& records) {
    sg.clearCells(1);
    sg.setRowCount(2);
    decoder.ClearGroupData();
    const TJournalInfo* journal = device.journalAt(journalIndex);
    const TRecordLoop loop = journal ? RecordLoopFor(*journal, journalIndex) : TRecordLoop::None;
    decoder.BeginRun(&device, journalIndex, startrec);
    auto next = records.begin();
    std::uint8_t reply[core::kReplySize];
    for (int i = 0; loop != TRecordLoop::None && i < count; ++i) {
        const std::int64_t number = startrec + i;
        next = std::lower_bound(next, records.end(), number,
                                [](const TStoredRecord& r, qint64 n) { return r.number < n; });
        if (next == records.end() || next->number != number) {
            core::WriteErrorRow(sg, i, number, QStringLiteral("Нет в архиве"));
            continue;
        }
        StoredReply(next->bytes, reply);
        ShowRecord(decoder, sg, loop, i, startrec, RequestIndexFor(*journal, loop, number), reply,
                   next->code);
    }
    decoder.BuildGroupView();
}

int ReadCountRegister(core::IModbusLink& lib, int devAddr, int reference, int& value) {
    std::uint8_t buffer[kRegisterBufferSize] = {};
    const int code =
        reference < 400000
            ? lib.ReadInputRegister(devAddr, RegisterAddress(reference, 300001), 1, dtUWord, buffer)
            : lib.ReadHoldingRegister(devAddr, RegisterAddress(reference, 400001), 1, dtUWord,
                                      buffer);
    value = code == 0 ? buffer[0] | (buffer[1] << 8) : 0;
    return code;
}

TReadingRun::TReadingRun(core::IModbusLink& library, IRecordDecoder& decoder, IStringGrid& sg,
                         IRunHost& host)
    : m_lib(library), m_decoder(decoder), m_sg(sg), m_host(host) {}

TRunResult TReadingRun::Refuse(TRunEnd end, const QString& message, const QString& detail) {
    m_result.end = end;
    m_result.message = message;
    m_host.ShowMessage(message, detail);
    return m_result;
}

TRunResult TReadingRun::Run(const TRunRequest& request) {
    m_result = TRunResult();
    m_host.SetExportVisible(false);
    m_host.SetStatusText(QStringLiteral("..."));

    if (!request.device)
        return Refuse(TRunEnd::Refused, QStringLiteral("Не выбран тип прибора."));
    const TJournalInfo* selected = request.device->journalAt(request.journalIndex);
    if (!selected)
        return Refuse(TRunEnd::Refused, QStringLiteral("Не выбран журнал прибора."));
    if (const QString problem = JournalProblem(*selected); !problem.isEmpty())
        return Refuse(TRunEnd::Refused, problem);
    std::int32_t limitStart = 0;
    std::int32_t limitCount = 0;
    if (request.limit) {
        const auto s = platform::parseIniInteger(request.startText);
        if (!s)
            return Refuse(TRunEnd::Refused, QStringLiteral("Введите число в поле \"Начать с:\""));
        const auto n = platform::parseIniInteger(request.countText);
        if (!n)
            return Refuse(TRunEnd::Refused, QStringLiteral("Введите число в поле \"Количество\""));
        limitStart = *s;
        limitCount = *n;
    }
    m_result.startrec = request.limit ? limitStart : 0;
    if (!request.portNumber)
        return Refuse(TRunEnd::Refused, request.portError);
    if (!m_lib.Connect(*request.portNumber, request.speed, request.linkType))
        return Refuse(TRunEnd::ConnectFailed, QStringLiteral("Ошибка открытия СОМ-порта."),
                      m_lib.LastErrorDetail());

    m_active = true;
    ReadJournal(request, *selected, limitStart, limitCount);
    FinishRun();
    const QString notice = m_decoder.RunNotice();
    if (!notice.isEmpty())
        m_host.ShowMessage(notice);
    return m_result;
}

void TReadingRun::ReadJournal(const TRunRequest& request, const TJournalInfo& selected,
                              std::int32_t limitStart, std::int32_t limitCount) {
    // The run keeps its own copy of the journal: selectors changed during the run do not reach it.
    TJournalInfo journal = selected;
    if (journal.Cycle && journal.CountRec <= 0)
        journal.Cycle = false; // a ring without size cannot wrap
    const int devAddr = request.devAddr;

    m_host.SetRunState(TRunState::Connected);
    m_lib.Retries(request.retries);
    m_lib.SetTimeouts(request.answerTime, 0);

    m_sg.clearCells(1);
    m_sg.setRowCount(2);
    m_decoder.ClearGroupData();

    m_getArch = true;
    m_host.SetRunState(TRunState::Reading);

    if (!ReadRecordCount(journal, devAddr))
        return;
    if (request.limit && !ApplyLimit(limitStart, limitCount))
        return;

    const TRecordLoop loop = RecordLoopFor(journal, request.journalIndex);
    if (!FitRecordRange(journal, loop))
        return;

    m_progress = 0;
    m_host.SetProgressPosition(0);
    m_host.SetProgressMaximum(ProgressValue(m_result.CountRec));

    const std::vector<TStoredRecord> stored = BeginArchive(request, journal, loop);
    m_decoder.BeginRun(request.device, request.journalIndex, m_result.startrec);
    m_result.end = TRunEnd::Finished;
    m_lib.SetRecordWindow(request.tcpWindow, request.startWindow);
    ReadRecords(journal, devAddr, loop, stored);
    std::tie(m_result.windowReached, m_result.windowFallback) = m_lib.RecordWindowReached();
    m_lib.SetRecordWindow(1, 1);
    if (request.incremental || m_result.windowFallback != 0)
        m_host.SetStatusText(
            core::JoinStatus(request.incremental ? IncrementalStatus(m_result) : QString(),
                             core::WindowFallbackText(m_result.windowFallback)));

    m_host.SetProgressPosition(ProgressValue(m_result.CountRec));
    if (m_result.offersExport())
        m_host.SetExportVisible(true);
}

bool TReadingRun::ReadRecordCount(const TJournalInfo& journal, int devAddr) {
    TRunResult& r = m_result;
    r.MaxRec = journal.CountRec;
    m_host.SetCountText(QStringLiteral("Количество записей: ..."));
    m_host.BetweenCalls();

    const auto fail = [&](TRunEnd end, int code) {
        r.end = end;
        r.message = core::ErrorMessage(code);
        m_host.SetCountText(r.message);
        return false;
    };
    if (journal.Reg != -1) {
        r.MaxRec = 0;
        int value = 0;
        if (const int code = ReadCountRegister(m_lib, devAddr, journal.Reg, value))
            return fail(TRunEnd::CountReadFailed, code);
        r.MaxRec = value + ((journal.typedev == tdPlain2 || journal.typedev == tdPlain4) ? 1 : 0);
    }
    if (journal.Cycle && journal.RegOverflow != -1) {
        int w = 0;
        if (const int code = ReadCountRegister(m_lib, devAddr, journal.RegOverflow, w))
            return fail(TRunEnd::OverflowReadFailed, code);
        r.MaxRec += std::int64_t(journal.CountRec) * w;
        r.startrec = 0;
        if (w != 0) {
            r.CountRec = journal.CountRec;
            r.startrec = r.MaxRec - r.CountRec;
        } else {
            r.CountRec = r.MaxRec;
        }
    } else {
        r.CountRec = r.MaxRec;
    }
    r.countKnown = true;
    m_host.SetCountText(QStringLiteral("Количество записей: %1").arg(r.MaxRec));
    m_host.BetweenCalls();
    return true;
}

bool TReadingRun::ApplyLimit(std::int32_t limitStart, std::int32_t limitCount) {
    TRunResult& r = m_result;
    if (limitStart < r.startrec) {
        r.end = TRunEnd::StartOutOfRange;
        r.message = QStringLiteral("Стартовый индекс %1 младше первой записи %2")
                        .arg(QString::number(limitStart), QString::number(r.startrec));
        m_host.ShowMessage(r.message);
        return false;
    }
    r.startrec = limitStart;
    if (r.startrec > r.MaxRec) {
        r.end = TRunEnd::StartOutOfRange;
        r.message = QStringLiteral("Стартовый индекс больше количества записей");
        m_host.ShowMessage(r.message);
        return false;
    }
    r.CountRec = r.startrec + limitCount - 1 < r.MaxRec ? limitCount : r.MaxRec - r.startrec;
    return true;
}

bool TReadingRun::FitRecordRange(const TJournalInfo& journal, TRecordLoop loop) {
    TRunResult& r = m_result;
    if (loop == TRecordLoop::None || r.CountRec <= 0)
        return true;
    // The fixed-layout loop of a ring wraps the indexes inside the ring, which fits (see
    // JournalProblem); every other loop asks for startrec, startrec + 1, ...
    const bool wraps = loop == TRecordLoop::Fixed && journal.Cycle;
    if (r.startrec < 0 || (!wraps && r.startrec >= kRecordPositions)) {
        r.end = TRunEnd::StartOutOfRange;
        r.message = QStringLiteral("Запись %1 не может быть запрошена: номера записей — от 0 до "
                                   "65535.")
                        .arg(r.startrec);
        m_host.ShowMessage(r.message);
        return false;
    }
    if (!wraps && r.startrec + r.CountRec > kRecordPositions) {
        r.CountRec = kRecordPositions - r.startrec;
        m_host.ShowMessage(QStringLiteral("Записи с номерами больше 65535 не могут быть "
                                          "запрошены: читаются записи с %1 по 65535.")
                               .arg(r.startrec));
    }
    return true;
}

std::vector<TStoredRecord> TReadingRun::BeginArchive(const TRunRequest& request,
                                                     const TJournalInfo& journal,
                                                     TRecordLoop loop) {
    if (request.incremental)
        m_result.incremental = TIncremental::NewSeries;
    if (!m_archive || loop == TRecordLoop::None)
        return {};
    TArchiveRunInfo info;
    info.device = request.device;
    info.journalIndex = request.journalIndex;
    info.port = request.portName;
    info.address = request.devAddr;
    info.speed = request.speed;
    info.startrec = m_result.startrec;
    info.countRec = m_result.CountRec;
    info.maxRec = m_result.MaxRec;
    info.ringSize = RingSizeFor(journal, loop);
    std::optional<qint64> series;
    std::vector<TStoredRecord> stored;
    if (request.incremental) {
        series = IdentifySeries(info, request.devAddr, journal.Num);
        if (!series && m_archive->ComparisonsFailed())
            m_result.incremental = TIncremental::ArchiveUnavailable;
    }
    if (series) {
        m_result.incremental = TIncremental::Continued;
        info.incremental = true;
        stored = m_archive->StoredAnswers(*series, info);
    }
    m_archive->Begin(info, series);
    return stored;
}

std::optional<qint64> TReadingRun::IdentifySeries(const TArchiveRunInfo& info, int devAddr,
                                                  int archiveNumber) {
    m_host.SetStatusText(QStringLiteral("Сравнение с архивом..."));
    for (const TArchiveCheck& check : m_archive->Comparisons(info)) {
        const core::TRecordAsk ask{check.number, archiveNumber, check.requestIndex};
        bool same = false;
        m_lib.ReadRecords(devAddr, {&ask, 1},
                          [&](std::size_t, int code, const std::uint8_t* reply) {
                              same = code == 0 && archive::MeaningfulReply(reply) == check.bytes;
                              return true;
                          });
        if (same)
            return check.seriesId;
        m_host.BetweenCalls();
    }
    return std::nullopt;
}

namespace {
// The status line before the request of record i of a fixed-layout run: "2201 (3200)".
QString RecordStatus(std::int64_t startrec, int i, int count) {
    return QStringLiteral("%1 (%2)").arg(startrec + i + 1).arg(startrec + count);
}
} // namespace

void TReadingRun::ReadRecords(const TJournalInfo& journal, int devAddr, TRecordLoop loop,
                              const std::vector<TStoredRecord>& stored) {
    if (loop == TRecordLoop::None)
        return;
    const std::int64_t startrec = m_result.startrec;
    const int count = static_cast<int>(m_result.CountRec); // at most 65,536 (FitRecordRange)
    if (loop != TRecordLoop::Text)
        m_progress = startrec;
    m_host.SetProgressPosition(ProgressValue(m_progress));
    m_host.SetRecordProgress(0, count);
    if (count > 0 && loop == TRecordLoop::Fixed)
        m_host.SetStatusText(RecordStatus(startrec, 0, count));

    auto next = stored.begin(); // the first stored record not behind record i
    std::uint8_t reply[core::kReplySize];
    std::vector<core::TRecordAsk> asks;
    bool goOn = true;
    for (int i = 0; goOn && i < count;) {
        const std::int64_t number = startrec + i;
        while (next != stored.end() && next->number < number)
            ++next;
        if (next != stored.end() && next->number == number) {
            StoredReply(next->bytes, reply);
            ++m_result.recordsFromArchive;
            goOn = RecordDone(journal, loop, i++, 0, reply);
            continue;
        }
        // The records up to the next stored one, asked for in one go.
        const std::int64_t end = std::min<std::int64_t>(
            startrec + count, next != stored.end() ? next->number : startrec + count);
        asks.clear();
        for (std::int64_t n = number; n < end; ++n)
            asks.push_back({n, journal.Num, RequestIndexFor(journal, loop, n)});
        const int first = i;
        m_lib.ReadRecords(devAddr, asks, [&](std::size_t item, int code, const std::uint8_t* r) {
            if (m_archive && code != 0)
                m_archive->Failed(asks[item].number, code);
            else if (m_archive)
                m_archive->Answered(asks[item].number, r);
            i = first + int(item) + 1;
            goOn = RecordDone(journal, loop, i - 1, code, r);
            return goOn;
        });
        if (i == first)
            break; // the link handed back none of them
    }
}

bool TReadingRun::RecordDone(const TJournalInfo& journal, TRecordLoop loop, int i, int code,
                             const std::uint8_t* reply) {
    const std::int64_t startrec = m_result.startrec;
    const int count = static_cast<int>(m_result.CountRec);
    ShowRecord(m_decoder, m_sg, loop, i, startrec, RequestIndexFor(journal, loop, startrec + i),
               reply, code);
    if (code != 0)
        m_result.failedRecords.push_back(startrec + i);
    ++(code != 0 ? m_result.recordsFailed : m_result.recordsRead);

    m_host.SetProgressPosition(ProgressValue(++m_progress));
    m_host.SetRecordProgress(i + 1, count);
    m_host.BetweenCalls();
    if (!m_getArch) {
        if (i + 1 < count)
            m_result.end = TRunEnd::Stopped;
        return false;
    }
    if (i + 1 < count && loop == TRecordLoop::Fixed)
        m_host.SetStatusText(RecordStatus(startrec, i + 1, count));
    return true;
}

void TReadingRun::FinishRun() {
    if (m_archive)
        m_archive->End(m_result.end == TRunEnd::Stopped);
    m_decoder.BuildGroupView();
    m_getArch = true;
    m_host.SetRunState(TRunState::Idle);
    m_lib.Disconnect();
    m_active = false;
}

} // namespace core
