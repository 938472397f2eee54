// SPDX-License-Identifier: MIT
#include "app/serverpath/serverreadingpath.h"

#include "app/core/errortexts.h"
#include "app/core/readingrun.h"
#include "app/core/recordformat.h"
#include "comm/ipc/datatypes.h"

#include <cmath>
#include <exception>

namespace serverpath {

namespace {

using Control = IServerPathHost::Control;

} // namespace

TServerReadingPath::TServerReadingPath(comm::TRS232Transport& rs232, comm::TModbusMaster& mbm,
                                       core::IStringGrid& sg, core::IStringGrid& sgGr,
                                       core::TJournalDecoder& decoder, IServerPathHost& host)
    : m_rs232(rs232), m_mbm(mbm), m_sg(sg), m_sgGr(sgGr), m_decoder(decoder), m_host(host) {}

std::int32_t TServerReadingPath::RecordQID(std::int32_t n) {
    return n < kCountQID ? n : n + 1;
}

std::int32_t TServerReadingPath::RecordOfQID(std::int32_t qid) {
    if (qid >= 1 && qid < kCountQID)
        return qid;
    if (qid > kCountQID)
        return qid - 1;
    return 0;
}

std::uint32_t TServerReadingPath::Pattern32(const QVariant& v) {
    switch (v.metaType().id()) {
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = v.toDouble();
        if (!std::isfinite(d) || d < -2147483648.0 || d > 4294967295.0)
            return 0;
        return std::uint32_t(std::int64_t(d));
    }
    case QMetaType::ULongLong:
        return std::uint32_t(v.toULongLong());
    default: {
        bool ok = false;
        const qlonglong x = v.toLongLong(&ok);
        return ok ? std::uint32_t(x) : 0;
    }
    }
}

comm::TComTransportSpeed TServerReadingPath::SpeedOrdinalFor(int itemIndex, const QString& text) {
    if (itemIndex >= comm::cts1200 && itemIndex <= comm::cts115200)
        return comm::TComTransportSpeed(itemIndex);
    bool ok = false;
    const int rate = text.trimmed().toInt(&ok);
    for (int o = comm::cts1200; ok && o <= comm::cts600; ++o)
        if (comm::baudRateOf(o) == rate)
            return comm::TComTransportSpeed(o);
    return comm::kDefaultSpeed;
}

void TServerReadingPath::btnConnectClick(int speedIndex, const QString& speedText,
                                         const QString& portText) {
    m_rs232.SetSpeed(SpeedOrdinalFor(speedIndex, speedText));
    // The port box's text as the main path takes it: trimmed, then the COMn rule of the port
    // check, so "COM1 " opens COM1 on both paths and the server gets "COM1".
    m_rs232.SetPort(portText.trimmed());
    try {
        m_rs232.SetLiveChannel(true);
    } catch (const comm::ServerError& e) {
        // The server refused or went away: say so and let the user try again.
        m_host.ShowErrorBox(e.message());
        m_host.SetControlEnabled(Control::Connect, true);
        return;
    }
    m_host.SetControlEnabled(Control::Connect, false);
}

void TServerReadingPath::BtnDisconnectClick2() {
    try {
        m_rs232.SetLiveChannel(false);
    } catch (const comm::ServerError& e) {
        m_host.ShowErrorBox(e.message());
    }
}

void TServerReadingPath::RS232ChangeConnected(QObject* /*ASender*/, bool AConnected) {
    m_host.SetControlEnabled(Control::Read, AConnected);
    m_host.SetControlEnabled(Control::Connect, !AConnected);
    m_host.SetControlEnabled(Control::Disconnect, AConnected);
}

const TJournalInfo* TServerReadingPath::journal() const {
    const TDevInfo* dev = m_host.CurrentDevice();
    return dev ? dev->journalAt(m_host.JournalItemIndex()) : nullptr;
}

void TServerReadingPath::btnReadClick() {
    if (m_archiving) // the previous reading ended on a failed record
        endArchive();
    m_decoder.ClearGroupData(m_sgGr);
    const TDevInfo* dev = m_host.CurrentDevice();
    if (!dev) {
        m_host.ShowMessageBox(QStringLiteral("Не выбран тип прибора."));
        return;
    }
    const TJournalInfo* j = journal();
    const QString problem =
        j ? core::JournalProblem(*j) : QStringLiteral("Не выбран журнал прибора.");
    if (!problem.isEmpty()) {
        m_host.ShowMessageBox(problem);
        return;
    }
    m_sg.clearCells(1);
    m_sg.setRowCount(2);
    m_sgGr.clearCells(1);
    m_sgGr.setColumnCount(1);
    m_sgGr.setRowCount(2);

    m_host.SetControlEnabled(Control::JournalSelector, false);
    m_getArch = true;
    m_host.SetControlEnabled(Control::Stop, true);
    m_host.SetControlEnabled(Control::Read, false);

    m_decoder.setDevice(dev);
    m_decoder.setJournalIndex(m_host.JournalItemIndex());
    m_maxRec = j->CountRec;
    if (j->Reg == -1) {
        m_outstanding = 0;
        return;
    }
    const QVariant type = QVariant::fromValue(qint32(comm::ipc::vtUI2));
    const std::int32_t reg = j->Reg;
    queueTask(kCountQID, [&] {
        if (reg >= 400000)
            m_mbm.ReadHoldRegs(kCountQID, 0, reg - 400001, type, 1);
        else
            m_mbm.ReadInputRegs(kCountQID, 0, reg - 300001, type, 1);
    });
}

template <typename Queue> void TServerReadingPath::queueTask(std::int32_t qid, Queue queue) {
    m_outstanding = qid;
    try {
        queue();
    } catch (const comm::ServerError& e) {
        m_outstanding = 0;
        m_host.ShowErrorBox(e.message());
        endReading();
    }
}

void TServerReadingPath::MBMExchange(QObject* /*Sender*/, std::int32_t QID, std::int32_t /*MBAddr*/,
                                     std::int32_t /*FunNumber*/, const QVariant& Value,
                                     std::int32_t Result) {
    if (QID != m_outstanding || QID == 0)
        return;
    m_outstanding = 0;
    if (QID == kCountQID) {
        if (Result != 0) {
            m_host.SetControlEnabled(Control::Read, true);
            m_host.SetControlEnabled(Control::Stop, false);
            m_host.SetControlEnabled(Control::JournalSelector, true);
            return;
        }
        // Stopped before the count came: the reading has already ended; there is no record to
        // show.
        if (!m_getArch)
            return;
        m_maxRec = Value.toInt();
        beginArchive();
        m_host.SetCountText(QStringLiteral("Количество записей: ") + QString::number(m_maxRec));
        m_host.SendRecordAnswer(0, 0);
        return;
    }
    const std::int32_t n = RecordOfQID(QID);
    if (n <= 0)
        return;
    if (Result != 0) {
        if (m_archiving)
            m_archive->Failed(n - 1, Result);
        core::WriteErrorRow(m_sg, n, n, core::ErrorMessage(Result));
        m_decoder.ScrollToLastRow();
        return;
    }
    m_recV = Value.toList();
    storeAnswer(n);
    m_host.SendRecordAnswer(n, 0);
}

void TServerReadingPath::requestRecord(const TJournalInfo& j, std::int32_t n) {
    const std::int32_t qid = RecordQID(n);
    // The archive number travels by its low 8 bits, as in the main path's requests.
    queueTask(qid, [&] {
        m_mbm.ReadIndexArch(qid, core::ArchiveOnWire(j.Num), 1, n - 1, QVariant(m_structV));
    });
}

void TServerReadingPath::beginArchive() {
    if (!m_archive)
        return;
    core::TArchiveRunInfo info;
    info.device = m_host.CurrentDevice();
    info.journalIndex = m_host.JournalItemIndex();
    info.port = m_rs232.Port();
    info.address = m_mbm.DeviceAddress();
    info.speed = comm::baudRateOf(m_rs232.Speed());
    info.countRec = m_maxRec;
    info.maxRec = m_maxRec;
    m_archive->Begin(info, std::nullopt);
    m_archiving = true;
}

void TServerReadingPath::storeAnswer(std::int32_t n) {
    if (!m_archiving)
        return;
    std::uint8_t reply[core::kReplySize] = {65, 10};
    const auto put = [&](int offset, std::uint32_t value, int bytes) {
        for (int b = 0; b < bytes; ++b)
            reply[offset + b] = std::uint8_t(value >> (8 * (bytes - 1 - b)));
    };
    put(2, Pattern32(m_recV.value(0)), 4);
    put(6, Pattern32(m_recV.value(1)), 2);
    put(8, Pattern32(m_recV.value(2)), 4);
    m_archive->Answered(n - 1, reply);
}

void TServerReadingPath::endArchive(bool stopped) {
    if (m_archiving)
        m_archive->End(stopped);
    m_archiving = false;
}

void TServerReadingPath::endReading(bool stopped) {
    endArchive(stopped);
    m_decoder.BuildGroupView(m_sgGr);
    m_host.SetControlEnabled(Control::Read, true);
    m_host.SetControlEnabled(Control::Stop, false);
    m_host.SetControlEnabled(Control::JournalSelector, true);
}

void TServerReadingPath::WMRecordAnswer(std::int32_t w, std::int32_t l) {
    const TJournalInfo* j = journal();
    if (w == 0) {
        if (m_getArch && j)
            requestRecord(*j, 1);
        return;
    }
    m_decoder.setDevice(m_host.CurrentDevice());
    m_decoder.setJournalIndex(m_host.JournalItemIndex());
    m_decoder.DecodeRecord(w, Pattern32(m_recV.value(0)), std::uint16_t(Pattern32(m_recV.value(1))),
                           l, 0, Pattern32(m_recV.value(2)));
    if (w < m_maxRec && m_getArch && j)
        requestRecord(*j, w + 1);
    else
        endReading(w < m_maxRec && !m_getArch);
}

} // namespace serverpath
