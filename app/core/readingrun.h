#pragma once

#include "app/core/accesslibrary.h"
#include "app/core/model.h"
#include "app/core/stringgrid.h"

#include <QString>

#include <array>
#include <cstdint>
#include <optional>

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

namespace core {
class TJournalDecoder;
}

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

// States of a run as the window shows them with its buttons.
enum class TRunState {
    Idle, // "Считать" enabled, "Остановить" disabled, journal selector enabled
    Connected, // the library connection is open: "Считать" disabled
    Reading,   // "Остановить" enabled, journal selector disabled
};

// The window's side of a run: labels, progress, messages and the pending-event hook.
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
    virtual void SetRunState(TRunState state) = 0;
    // Handles pending window events; window handlers (also "Остановить") may run inside.
    virtual void ProcessEvents() = 0;
};

// What the user chose when pressing "Считать".
struct TRunRequest {
    const TDevInfo* device = nullptr; // CurDev
    int journalIndex = -1;            // item index of the journal selector
    std::optional<int> portNumber;    // COM number of the port selector
    QString portError;                // why there is no port number
    int speed = 19200;
    int linkType = 0;
    int devAddr = 1;
    int retries = 5;
    bool limit = false;
    QString startText; // EdtStart
    QString countText; // EdtCount
};

// The 7-byte function-65 request for a record of an archive.
std::array<std::uint8_t, 7> RecordRequest(int archiveNumber, int recordIndex);

// Why no run of the journal can be made as described: an archive number a request cannot carry,
// or a ring larger than the record positions a request can address. Empty when there is none.
QString JournalProblem(const TJournalInfo& journal);

// One reading run through the access library: connect, count, records, disconnect.
class TReadingRun {
public:
    TReadingRun(IAccessLibrary& library, IRecordDecoder& decoder, IStringGrid& sg, IRunHost& host);

    // btnRead2Click: runs to its end (records arrive while pending events are handled).
    void Run(const TRunRequest& request);
    // btnStopClick's part: the loop ends after the record in progress.
    void Stop() { m_getArch = false; }

    bool IsActive() const { return m_active; }
    bool GetArch() const { return m_getArch; }
    // 64-bit: a ring's record count grows by its size times the overflow counter.
    std::int64_t startrec() const { return m_startrec; }
    std::int64_t CountRec() const { return m_countRec; }
    std::int64_t MaxRec() const { return m_maxRec; }

    // ReadCountRegister: a register by its Modbus reference number (300001+ input, 400001+
    // holding). Returns the result code; the value goes to `value`.
    int ReadCountRegister(int devAddr, int reference, int& value);

private:
    // Steps after a successful Connect up to the end of the record loop.
    void ReadJournal(const TRunRequest& request, const TJournalInfo& selected,
                     std::int32_t limitStart, std::int32_t limitCount);
    void FinishRun();
    bool FitRecordRange(const TJournalInfo& journal, int loopKind);
    void ReadRecords(const TJournalInfo& journal, int devAddr, int loopKind);
    void WriteErrorRow(int i, int code);

    IAccessLibrary& m_lib;
    IRecordDecoder& m_decoder;
    IStringGrid& m_sg;
    IRunHost& m_host;

    bool m_active = false;
    bool m_getArch = true;
    std::int64_t m_startrec = 0;
    std::int64_t m_countRec = 0;
    std::int64_t m_maxRec = 0;
    std::int64_t m_progress = 0;
};
