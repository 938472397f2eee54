// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"
#include "app/core/journaldecoder.h"
#include "app/core/modbuslink.h"
#include "app/core/runarchive.h"
#include "app/core/stringgrid.h"
#include "comm/ipc/speeds.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

namespace core {

// What the reading run needs of the record decoder: the rows of the linear list and the events
// of the grouped view are its business.
class IRecordDecoder {
public:
    virtual ~IRecordDecoder() = default;

    // Device, journal (selector item index) and first record number of the run that starts.
    virtual void BeginRun(const TDevInfo* device, int journalIndex, std::int64_t startrec) = 0;
    // A fixed-layout reply; `requestIndex` is the record index as sent (after the wrap-around).
    virtual void DecodeFixedReply(int index, const std::uint8_t* reply, int requestIndex) = 0;
    virtual void DecodeTextRecord(int index, const std::uint8_t* reply) = 0;
    virtual void DecodeModeRecord(int index, const std::uint8_t* reply) = 0;
    // Shows the list's last row (after rows the run writes itself).
    virtual void ScrollToLastRow() = 0;
    virtual void ClearGroupData() = 0;
    virtual void BuildGroupView() = 0;
    // One notice about text records whose time did not convert; empty when there were none.
    virtual QString RunNotice() const = 0;
};

struct TConnectionSettings;
struct TLinkChoice;

// The reading run's decoder: the window's TJournalDecoder and its grouped grid.
class TRunDecoder : public IRecordDecoder {
public:
    TRunDecoder(core::TJournalDecoder& decoder, IStringGrid& sgGr)
        : m_decoder(decoder), m_sgGr(sgGr) {}

    void BeginRun(const TDevInfo* device, int journalIndex, std::int64_t startrec) override;
    void DecodeFixedReply(int index, const std::uint8_t* reply, int requestIndex) override;
    void DecodeTextRecord(int index, const std::uint8_t* reply) override;
    void DecodeModeRecord(int index, const std::uint8_t* reply) override;
    void ScrollToLastRow() override;
    void ClearGroupData() override;
    void BuildGroupView() override;
    QString RunNotice() const override;

private:
    core::TJournalDecoder& m_decoder;
    IStringGrid& m_sgGr;
};

// A linear list and a grouped grid of their own with the decoder that fills them, shaped as the
// window's tabs hold theirs.
struct TListGrids {
    TStringGrid sg{2, 5};
    TStringGrid sgGr{2, 1};
    core::TJournalDecoder decoder{sg};
    TRunDecoder runDecoder{decoder, sgGr};
};

// States of a run as the window shows them with its buttons.
enum class TRunState {
    Idle, // "Считать" enabled, "Остановить" disabled, journal selector enabled
    Connected, // the library connection is open: "Считать" disabled
    Reading,   // "Остановить" enabled, journal selector disabled
};

// What a run shows and asks: labels, progress, messages, the buttons' state. The window's host
// lives on the window's thread and the run reaches it through queued signals (see TRunEngine);
// journal-read's is called directly.
class IRunHost {
public:
    virtual ~IRunHost() = default;

    // An information box; `detail` (may be empty) says more, e.g. the system's reason.
    virtual void ShowMessage(const QString& text, const QString& detail = {}) = 0;
    virtual void SetExportVisible(bool visible) = 0;
    virtual void SetStatusText(const QString& text) = 0; // lblStat
    virtual void SetCountText(const QString& text) = 0;  // lblMaxRec
    virtual void SetProgressMaximum(int maximum) = 0;
    virtual void SetProgressPosition(int position) = 0;
    // Records of the run done (read or failed) of `total`: 0 before the first, then after each.
    virtual void SetRecordProgress(int done, int total) {
        (void)done;
        (void)total;
    }
    virtual void SetRunState(TRunState state) = 0;
    // Between two calls on the link (after the count, after each record): the host hands on
    // what the run has shown and may stop it (Stop) before its next request.
    virtual void BetweenCalls() = 0;
};

// A host that shows nothing, for programs that only want the run's result: each overrides what
// it keeps and decides BetweenCalls.
class TSilentRunHost : public IRunHost {
public:
    void ShowMessage(const QString&, const QString& = {}) override {}
    void SetExportVisible(bool) override {}
    void SetStatusText(const QString&) override {}
    void SetCountText(const QString&) override {}
    void SetProgressMaximum(int) override {}
    void SetProgressPosition(int) override {}
    void SetRunState(TRunState) override {}
};

// What the user chose when pressing "Считать".
struct TRunRequest {
    const TDevInfo* device = nullptr; // CurDev
    int journalIndex = -1;            // item index of the journal selector
    std::optional<int> portNumber;    // COM number of the port selector
    QString portError;                // why there is no port number
    int speed = comm::ipc::kDefaultBaudRate;
    int linkType = 0;
    int devAddr = 1;
    int retries = 5;
    int answerTime = 500; // ms; the character time-out stays the library's
    bool limit = false;
    QString startText; // EdtStart
    QString countText; // EdtCount
    QString portName;  // the port as the user named it (kept in the archive)
    // "Дочитать": only the records the archive lacks are read (see TIncremental).
    bool incremental = false;
    // Record requests kept in flight where the link allows it (a Modbus TCP endpoint, see
    // tcpwindow.h): 1 one after another, 2..16, or 0 an automatic window from startWindow.
    int tcpWindow = 1;
    int startWindow = 1;
};

// The run of journal `journalIndex` of `device` over `link` (the port as the user named it:
// `portName`) with the line settings of `line`: link type, address (1 when it has none),
// retries and answer time. The window and journal-read make their requests with it.
TRunRequest RunRequestFor(const TDevInfo* device, int journalIndex, const core::TLinkChoice& link,
                          const QString& portName, const core::TConnectionSettings& line);

// How a reading run ended.
enum class TRunEnd {
    Finished,           // every record of the range was requested (failed records included)
    Stopped,            // "Остановить" ended the record loop before the last record
    Refused,            // refused before connecting (no device or journal, a limit or port it
                        // cannot use)
    ConnectFailed,      // the access library could not open the port
    CountReadFailed,    // the record count register could not be read
    OverflowReadFailed, // the ring journal's overflow register could not be read
    StartOutOfRange,    // the limit's start lies before the first record or after the last, or
                        // is a record index a request cannot carry
};

// What an incremental reading found in the archive.
enum class TIncremental {
    None,      // a full reading
    Continued, // the instrument agreed with a series: only the records it lacks were read
    NewSeries, // no series agreed: the whole range was read, into a new series
    // The archive could not be consulted: the whole range was read.
    ArchiveUnavailable,
};

// The outcome of a reading run, also its state while it runs.
struct TRunResult {
    TRunEnd end = TRunEnd::Finished;
    // The message box of a refused run or of a start out of range, or the error text of a
    // failed register read; empty otherwise.
    QString message;
    // The record range: first record, number of records of the run, records the journal holds;
    // 64-bit, as a ring's record count grows by its size times the overflow counter.
    std::int64_t startrec = 0;
    std::int64_t CountRec = 0;
    std::int64_t MaxRec = 0;
    bool countKnown = false;                 // MaxRec holds the journal's record count
    int recordsRead = 0;                     // records whose reply was decoded
    int recordsFailed = 0;                   // records whose request failed (an error row each)
    std::vector<std::int64_t> failedRecords; // their numbers, in reading order
    TIncremental incremental = TIncremental::None;
    int recordsFromArchive = 0; // of recordsRead: decoded from the archive's bytes
    // A run with requests in flight: the window it ended with (0: none was used) and why it fell
    // back to one request at a time (core::TRecordFallback, 0 none).
    int windowReached = 0;
    int windowFallback = 0;

    int recordsDone() const { return recordsRead + recordsFailed; }
    // The count or some records could not be read (when the line's diagnosis is shown).
    bool readFailed() const {
        return end == TRunEnd::CountReadFailed || end == TRunEnd::OverflowReadFailed ||
               recordsFailed > 0;
    }
    // The run connected to the instrument.
    bool connected() const { return end != TRunEnd::Refused && end != TRunEnd::ConnectFailed; }
    // The record loop ran: the list holds the run's rows.
    bool readRecords() const { return end == TRunEnd::Finished || end == TRunEnd::Stopped; }
    // "Сохранить..." is offered at the end of the run.
    bool offersExport() const { return readRecords() && MaxRec > 0; }
};

// "Остановлено на записи 318: считано 119 из 1000" for a run that "Остановить" (or a signal)
// ended before its last record: the last record done, the records done and those of the run.
// Empty for any other run.
QString StoppedText(const TRunResult& result);

// Why no run of the journal can be made as described: a ring larger than the record positions a
// request can address. Empty when there is none.
QString JournalProblem(const TJournalInfo& journal);

// How the record loop requests and shows the records of a journal.
enum class TRecordLoop {
    Fixed, // fixed-layout records; a ring's requests wrap at its size
    Text,  // text records (the first journal of tdMarlo and tdQuint)
    Mode,  // mode-change records (their other journals)
    None,  // a layout that reads no records
};
TRecordLoop RecordLoopFor(const TJournalInfo& journal, int journalIndex);
// The size at which the loop's requests wrap (a ring journal's), 0 when they do not.
int RingSizeFor(const TJournalInfo& journal, TRecordLoop loop);
// The index the record loop sends for a record number (after a ring's wrap-around).
int RequestIndexFor(const TJournalInfo& journal, TRecordLoop loop, std::int64_t number);

// The row of record `i` of a run that starts at `startrec`: an error row for a failed request
// (code != 0), else the decoded reply. `requestIndex` is the index sent.
void ShowRecord(IRecordDecoder& decoder, IStringGrid& sg, TRecordLoop loop, int i,
                std::int64_t startrec, int requestIndex, const std::uint8_t* reply, int code);

// Reads one 16-bit register by its Modbus reference number (300001.. input, 400001.. holding;
// a reference outside the library's range is refused by it). Returns the result code; the value
// goes to `value` (0 on failure).
[[nodiscard]] int ReadCountRegister(core::IModbusLink& lib, int devAddr, int reference, int& value);

// The list and the grouped view of stored records numbered startrec..startrec+count-1 (sorted
// by number), exactly as a reading of that range shows them: the answers decoded with the
// device's current description, failed requests as their error rows; a number the records lack
// gets an error row saying so.
void ShowStoredRecords(IRecordDecoder& decoder, IStringGrid& sg, const TDevInfo& device,
                       int journalIndex, std::int64_t startrec, int count,
                       const std::vector<TStoredRecord>& records);

// One reading run through a Modbus link: connect, count, records, disconnect. It runs on the
// thread that calls Run (the engine's worker thread in the window); Stop may come from any thread.
class TReadingRun {
public:
    TReadingRun(core::IModbusLink& library, IRecordDecoder& decoder, IStringGrid& sg,
                IRunHost& host);

    // Where the runs store what they read, and what an incremental reading continues; nullptr:
    // nowhere (an incremental reading then reads everything).
    void SetArchive(IRunArchive* archive) { m_archive = archive; }

    // btnRead2Click's run: runs to its end and returns how it ended. One run at a time: the
    // engine that owns the run starts the next only once this one has returned.
    TRunResult Run(const TRunRequest& request);
    // btnStopClick's part, from any thread: the loop ends after the record in progress.
    void Stop() { m_getArch = false; }

    bool IsActive() const { return m_active; }
    // The keep-reading flag: cleared by Stop, set again when a run starts and when it ends.
    bool GetArch() const { return m_getArch; }
    // The run in progress, else the last run (a default result before the first); for the
    // run's own thread (its host).
    const TRunResult& Result() const { return m_result; }

private:
    // Refuses the run with a message box; returns the result.
    [[nodiscard]] TRunResult Refuse(TRunEnd end, const QString& message,
                                    const QString& detail = {});
    // Steps after a successful Connect up to the end of the record loop.
    void ReadJournal(const TRunRequest& request, const TJournalInfo& selected,
                     std::int32_t limitStart, std::int32_t limitCount);
    // The record count and, for a ring, the overflow counter; false when a read failed.
    [[nodiscard]] bool ReadRecordCount(const TJournalInfo& journal, int devAddr);
    // Narrows the range to the user's limit; false (with a message) when its start is outside.
    [[nodiscard]] bool ApplyLimit(std::int32_t limitStart, std::int32_t limitCount);
    // Keeps the record indexes the loop will send within what a request can carry.
    [[nodiscard]] bool FitRecordRange(const TJournalInfo& journal, TRecordLoop loop);
    void FinishRun();
    // The archive's side of the run before its records: an incremental reading identifies its
    // series and gets its stored answers; the archive begins to store the run.
    std::vector<TStoredRecord> BeginArchive(const TRunRequest& request, const TJournalInfo& journal,
                                            TRecordLoop loop);
    // The series whose stored answer the instrument repeats byte for byte, if any.
    std::optional<qint64> IdentifySeries(const TArchiveRunInfo& info, int devAddr,
                                         int archiveNumber);
    // The records of the range in order: from `stored` when it holds the number, else from the
    // instrument, a stretch without stored records asked for in one ReadRecords of the link.
    void ReadRecords(const TJournalInfo& journal, int devAddr, TRecordLoop loop,
                     const std::vector<TStoredRecord>& stored);
    // Record i of the run is done (code 0: `reply` holds its answer): its row, the counts and
    // the progress; false when the loop is to end here.
    [[nodiscard]] bool RecordDone(const TJournalInfo& journal, TRecordLoop loop, int i, int code,
                                  const std::uint8_t* reply);

    core::IModbusLink& m_lib;
    IRecordDecoder& m_decoder;
    IStringGrid& m_sg;
    IRunHost& m_host;
    IRunArchive* m_archive = nullptr;

    std::atomic<bool> m_active = false;
    std::atomic<bool> m_getArch = true;
    TRunResult m_result;
    std::int64_t m_progress = 0;
};

} // namespace core
