// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"
#include "app/core/journaldecoder.h"
#include "app/core/runarchive.h"
#include "app/core/stringgrid.h"
#include "comm/comtransport.h"
#include "comm/ipc/datatypes.h"
#include "comm/modbusmaster.h"

#include <QVariant>

#include <cstdint>

namespace serverpath {

// The window's side of the server path: the controls it enables, the message box and the
// synchronous "record answer" message to the window itself.
class IServerPathHost {
public:
    enum class Control { Connect, Read, Stop, Disconnect, JournalSelector };

    virtual ~IServerPathHost() = default;
    virtual const TDevInfo* CurrentDevice() const = 0;
    // Item index of the journal selector.
    virtual int JournalItemIndex() const = 0;
    virtual void SetControlEnabled(Control control, bool enabled) = 0;
    virtual void SetCountText(const QString& text) = 0;
    // A plain message box (the user's choices), and an error box (the server or the connection
    // to it failed).
    virtual void ShowMessageBox(const QString& text) = 0;
    virtual void ShowErrorBox(const QString& text) = 0;
    // Delivers (w, result) to WMRecordAnswer and returns once it has been handled.
    virtual void SendRecordAnswer(std::int32_t w, std::int32_t result) = 0;
};

// Reads the selected journal through the master component and the exchange server, one task at
// a time: the record count (task 1000), then record n (n = 1, 2, ...; the record with device
// index n - 1) under its own task identifier, each answer carrying the reading on.
//
// Task identifiers: 1000 is the count. Record n uses n up to 999 and n + 1 from the 1000th
// record on, so that every record of a long journal has an identifier and none is ever 1000.
// Only the task last requested is listened to; an answer to any other (an earlier reading's) is
// dropped.
class TServerReadingPath {
public:
    static constexpr std::int32_t kCountQID = 1000;

    TServerReadingPath(comm::TRS232Transport& rs232, comm::TModbusMaster& mbm,
                       core::IStringGrid& sg, core::IStringGrid& sgGr,
                       core::TJournalDecoder& decoder, IServerPathHost& host);

    // Task identifier of record n (n >= 1), and the record number of a task identifier (0 for
    // the count and for identifiers that name no record).
    static std::int32_t RecordQID(std::int32_t n);
    static std::int32_t RecordOfQID(std::int32_t qid);
    // The 32-bit pattern of an answer's integer element, whatever integer type carries it.
    static std::uint32_t Pattern32(const QVariant& v);
    // Speed ordinal for the speed selector: the item index when it names one, else the speed
    // whose rate the selector shows, else the default speed.
    static comm::TComTransportSpeed SpeedOrdinalFor(int itemIndex, const QString& text);

    // "Подключиться (srv)".
    void btnConnectClick(int speedIndex, const QString& speedText, const QString& portText);
    // "Отключиться (srv)".
    void BtnDisconnectClick2();
    // The transport's change-of-connection event.
    void RS232ChangeConnected(QObject* ASender, bool AConnected);
    // "Считать (srv)".
    void btnReadClick();
    // The master's answer event.
    void MBMExchange(QObject* Sender, std::int32_t QID, std::int32_t MBAddr, std::int32_t FunNumber,
                     const QVariant& Value, std::int32_t Result);
    // The window's "record answer" message: w = 0 after the count, else the record number.
    void WMRecordAnswer(std::int32_t w, std::int32_t l);
    // "Остановить (srv)" (and "Остановить"): no further request after the answer awaited.
    void Stop() { m_getArch = false; }
    // The path's keep-reading flag: set when a reading starts, cleared by Stop.
    bool GetArch() const { return m_getArch; }

    // Where the readings are stored (nullptr: nowhere). Record n is stored as number n - 1, the
    // index it was requested with, so that its history is the main path's; its answer bytes
    // are the fields received put back in the tdPlain layout the request structure reads.
    void SetArchive(core::IRunArchive* archive) { m_archive = archive; }

    // Record structure of the record requests (the window's StructV).
    void SetStructV(const QVariantList& structV) { m_structV = structV; }
    // The value types of a record's fields: time (32 bits), identifier (16), value (32).
    static QVariantList RecordStructure() {
        return {int(comm::ipc::vtUI4), int(comm::ipc::vtUI2), int(comm::ipc::vtUI4)};
    }

    std::int32_t MaxRec() const { return m_maxRec; }
    const QVariantList& RecV() const { return m_recV; }
    // Identifier of the task awaited (0: none).
    std::int32_t OutstandingQID() const { return m_outstanding; }

private:
    const TJournalInfo* journal() const;
    void requestRecord(const TJournalInfo& j, std::int32_t n);
    // Queues a task; when the server cannot take it (gone mid-reading), says so and ends the
    // reading instead of letting the error escape into the event loop.
    template <typename Queue> void queueTask(std::int32_t qid, Queue queue);
    // `stopped`: "Остановить" ended the reading before its last record.
    void endReading(bool stopped = false);
    // The reading's count is known: the archive begins to store it.
    void beginArchive();
    void endArchive(bool stopped = false);
    // A record's answer fields in the reply buffer of function 65 (tdPlain layout).
    void storeAnswer(std::int32_t n);

    comm::TRS232Transport& m_rs232;
    comm::TModbusMaster& m_mbm;
    core::IStringGrid& m_sg;
    core::IStringGrid& m_sgGr;
    core::TJournalDecoder& m_decoder;
    IServerPathHost& m_host;
    core::IRunArchive* m_archive = nullptr;
    bool m_archiving = false; // the archive stores the reading in progress
    std::int32_t m_maxRec = 0;
    QVariantList m_recV;
    std::int32_t m_outstanding = 0;
    bool m_getArch = true;
    QVariantList m_structV = RecordStructure();
};

} // namespace serverpath
