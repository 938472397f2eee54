// SPDX-License-Identifier: MIT
#include "app/core/journaldecoder.h"

namespace core {

namespace {
const QString kModeChange = QStringLiteral("Смена режима");

// The event of a fixed-layout record, with the record's index and raw values.
TRecEvent FixedEvent(double dateTime, QVariant value, std::int32_t index, std::uint32_t rawNew,
                     std::uint32_t rawBefore, bool withBefore) {
    TRecEvent e{dateTime, std::move(value), index, rawNew, {}};
    if (withBefore)
        e.RawBefore = rawBefore;
    return e;
}
} // namespace

void WriteErrorRow(IStringGrid& sg, std::int32_t index, std::int64_t number, const QString& text) {
    const int row = index + 1;
    if (sg.rowCount() < row + 1)
        sg.setRowCount(row + 1);
    sg.setCell(row, 0, QString::number(number));
    sg.setCell(row, 1, text);
    for (int c = 2; c < sg.columnCount(); ++c)
        if (!sg.cell(row, c).isEmpty())
            sg.setCell(row, c, QString());
    sg.setRowError(row, true);
}

void TJournalDecoder::setDevice(const TDevInfo* device) {
    m_device = device;
    m_indexedData = nullptr;
    m_typeIndex.clear();
}

const TJournalInfo* TJournalDecoder::journal() const {
    return m_device ? m_device->journalAt(m_journalIndex) : nullptr;
}

void TJournalDecoder::ScrollToLastRow() const {
    if (m_scrollHook)
        m_scrollHook();
}

void TJournalDecoder::IndexRecordTypes() const {
    const auto& types = m_device->ListRecType;
    if (m_indexedData == types.data() && m_indexedSize == types.size())
        return;
    m_typeIndex.clear();
    for (std::size_t i = 0; i < types.size(); ++i)
        m_typeIndex.try_emplace(types[i].addr, i);
    m_indexedData = types.data();
    m_indexedSize = types.size();
}

const TRecType* TJournalDecoder::FindRecType(std::int32_t id) const {
    if (!m_device)
        return nullptr;
    IndexRecordTypes();
    const auto it = m_typeIndex.find(id);
    return it != m_typeIndex.end() ? &m_device->ListRecType[it->second] : nullptr;
}

void TJournalDecoder::EnsureRow(std::int32_t Index) {
    if (m_sg.rowCount() < Index + 2)
        m_sg.setRowCount(Index + 2);
}

void TJournalDecoder::DecodeRecord(std::int32_t Index, std::uint32_t Time, std::uint16_t ID,
                                   std::int32_t Error, std::uint32_t Before, std::uint32_t New) {
    if (Index < 0)
        return;
    if (Error != 0) {
        WriteErrorRow(m_sg, Index, m_startrec + Index, QStringLiteral("Error"));
        ScrollToLastRow();
        return;
    }
    EnsureRow(Index);
    const int row = Index + 1;
    m_sg.setCell(row, 0, QString::number(m_startrec + Index));
    const TJournalInfo* j = journal();
    const bool withBefore = j && HasBeforeValue(j->typedev);
    const double T = UnixToDateTime(Time);
    m_sg.setCell(row, 1, core::FormatRecordTime(T, j));
    if (const TRecType* type = FindRecType(ID)) {
        m_sg.setCell(row, 2, type->Name);
        const auto* strs = type->Strs ? &*type->Strs : nullptr;
        if (const auto v = FormatValue(type->atype, New, strs)) {
            m_sg.setCell(row, 4, v->text);
            m_groups.AddGroupEvent(type->addr, type->atype, type->Name,
                                   FixedEvent(T, v->value, Index, New, Before, withBefore));
            if (withBefore)
                m_sg.setCell(row, 3, FormatValue(type->atype, Before, strs)->text);
        }
    } else {
        m_sg.setCell(row, 2, QString::number(ID));
        m_sg.setCell(row, 4, QString::number(static_cast<std::int32_t>(New)));
        if (withBefore)
            m_sg.setCell(row, 3, QString::number(static_cast<std::int32_t>(Before)));
        m_groups.AddGroupEvent(
            ID, dtLongWord, QStringLiteral("???"),
            FixedEvent(T, static_cast<std::int32_t>(New), Index, New, Before, withBefore));
    }
    ScrollToLastRow();
}

void TJournalDecoder::DecodeFixedReply(std::int32_t Index, TReplyView reply, int requestIndex) {
    const TJournalInfo* j = journal();
    const TFixedRecord r = ParseFixedRecord(j ? j->typedev : tdPlain, reply, requestIndex);
    DecodeRecord(Index, r.time, r.id, 0, r.before, r.value);
}

bool TJournalDecoder::DecodeTextRecord(std::int32_t Index, TReplyView reply) {
    if (Index < 0)
        return false;
    const TJournalInfo* j = journal();
    const QString text = TextFromReply(reply);
    const TTextFields f = j && j->typedev == tdQuint ? SplitQuintText(text) : SplitMarloText(text);
    EnsureRow(Index);
    const int row = Index + 1;
    m_sg.setCell(row, 0, QString::number(m_startrec + Index));
    m_sg.setCell(row, 1, f.time);
    m_sg.setCell(row, 2, f.name);
    m_sg.setCell(row, 3, f.before);
    m_sg.setCell(row, 4, f.value);
    const auto D = ParseRecordTime(f.time);
    if (!D) {
        if (m_unparsedTimes++ == 0)
            m_firstUnparsedTime = f.time;
    }
    const TRecStr& S = FindOrAddRecStr(f.name);
    m_groups.AddGroupEvent(S.ID, dtList, f.name,
                           TRecEvent{D ? D->value : kNoDateTime, f.value, Index, {}, {}});
    ScrollToLastRow();
    return D.has_value();
}

void TJournalDecoder::DecodeModeRecord(std::int32_t Index, TReplyView reply) {
    if (Index < 0)
        return;
    const double T = UnixToDateTime(ReadBE32(reply, 2));
    const QString mode = ModeText(ReadBE16(reply, 6));
    EnsureRow(Index);
    const int row = Index + 1;
    m_sg.setCell(row, 0, QString::number(m_startrec + Index));
    m_sg.setCell(row, 1, LocaleDateTimeText(T));
    m_sg.setCell(row, 2, kModeChange);
    m_sg.setCell(row, 4, mode);
    const TRecStr& S = FindOrAddRecStr(kModeChange);
    m_groups.AddGroupEvent(S.ID, dtList, kModeChange, TRecEvent{T, mode, Index, {}, {}});
    ScrollToLastRow();
}

void TJournalDecoder::AdoptRun(const TJournalDecoder& run) {
    setDevice(run.m_device);
    m_journalIndex = run.m_journalIndex;
    m_startrec = run.m_startrec;
    m_groups = run.m_groups;
    m_unparsedTimes = run.m_unparsedTimes;
    m_firstUnparsedTime = run.m_firstUnparsedTime;
}

void TJournalDecoder::ClearGroupData() {
    m_groups.Clear();
    m_unparsedTimes = 0;
    m_firstUnparsedTime.clear();
}

void TJournalDecoder::ClearGroupData(IStringGrid& sgGr) {
    ClearGroupData();
    ClearGroupGrid(sgGr);
}

QString TJournalDecoder::UnparsedTimeMessage() const {
    if (m_unparsedTimes == 0)
        return {};
    return QStringLiteral("Время записи не распознано: \"%1\" (записей с нераспознанным "
                          "временем: %2)")
        .arg(m_firstUnparsedTime)
        .arg(m_unparsedTimes);
}

void TJournalDecoder::FillRecTypeGrid(IStringGrid& sgType, const TDevInfo* device) {
    if (!device)
        return;
    const auto& types = device->ListRecType;
    if (types.empty()) {
        sgType.setRowCount(2);
        for (int c = 0; c < 4; ++c)
            sgType.setCell(1, c, QString());
        return;
    }
    sgType.setRowCount(static_cast<int>(types.size()) + 1);
    for (std::size_t i = 0; i < types.size(); ++i) {
        const int row = static_cast<int>(i) + 1;
        sgType.setCell(row, 0, QString::number(i));
        sgType.setCell(row, 1, types[i].Name);
        sgType.setCell(row, 2, QString::number(types[i].addr));
        sgType.setCell(row, 3, TypeName(types[i].atype));
    }
}

} // namespace core
