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

    // Device, journal and first record number of the run that is starting.
    virtual void BeginRun(const TDevInfo* device, const TJournalInfo& journal, int startrec) = 0;
    virtual void DecodeRecord(int index, std::uint32_t time, std::uint16_t id, int error,
                              std::uint32_t before, std::uint32_t newValue) = 0;
    virtual void DecodeTextRecord(int index, const std::uint8_t* reply) = 0;
    virtual void DecodeModeRecord(int index, const std::uint8_t* reply) = 0;
    virtual void ClearGroupData() = 0;
    virtual void BuildGroupView() = 0;
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

    virtual void ShowMessage(const QString& text) = 0;
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

// Fields of one fixed-layout record.
struct TFixedRecord {
    std::uint32_t time = 0;
    std::uint16_t id = 0;
    std::uint32_t before = 0;
    std::uint32_t newValue = 0;
};

// Takes a fixed-layout record from a reply by its layout. `deviceIndex` is the record index as
// sent; tdPlain2 and tdPlain4 give the record with index 0 the ID 65535.
TFixedRecord ExtractFixedRecord(TTypeDev layout, const std::uint8_t* reply, int deviceIndex);

// The 7-byte function-65 request for a record of an archive.
std::array<std::uint8_t, 7> RecordRequest(int archiveNumber, int recordIndex);

// Integer text as the window's edits take it: optional blanks and sign, decimal digits, or
// hexadecimal after "$", "0x" or "x".
std::optional<std::int32_t> ParseInteger(const QString& text);

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
    int startrec() const { return m_startrec; }
    int CountRec() const { return m_countRec; }
    int MaxRec() const { return m_maxRec; }

    // ReadCountRegister: a register by its Modbus reference number (300001+ input, 400001+
    // holding). Returns the result code; the value goes to `value`.
    int ReadCountRegister(int devAddr, int reference, int& value);

private:
    void FinishRun();
    void ReadRecords(const TJournalInfo& journal, int devAddr, int loopKind);
    void WriteErrorRow(int i, int code);

    IAccessLibrary& m_lib;
    IRecordDecoder& m_decoder;
    IStringGrid& m_sg;
    IRunHost& m_host;

    bool m_active = false;
    bool m_getArch = true;
    int m_startrec = 0;
    int m_countRec = 0;
    int m_maxRec = 0;
    int m_progress = 0;
};
