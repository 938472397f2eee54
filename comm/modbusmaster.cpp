// SPDX-License-Identifier: MIT
#include "comm/modbusmaster.h"

#include "comm/ipc/resultcodes.h"
#include "comm/ipc/settingsarrays.h"
#include "comm/ipc/taskarrays.h"

#include <initializer_list>
#include <utility>

namespace comm {

using namespace comm::ipc;

namespace {

QVariant ui1(quint32 v) {
    return QVariant::fromValue(quint8(v));
}
QVariant ui2(quint32 v) {
    return QVariant::fromValue(quint16(v));
}
QVariant i4(qint32 v) {
    return QVariant::fromValue(v);
}

// A task array of `size` elements: the opcode and QID, then each element at its index.
QVariantList task(Opcode opcode, qint32 qid, int size,
                  std::initializer_list<std::pair<int, QVariant>> elements = {}) {
    QVariantList t(size);
    t[TaskHead::Opcode] = ui1(opcode);
    t[TaskHead::QID] = i4(qid);
    for (const auto& [index, value] : elements)
        t[index] = value;
    return t;
}

// The task arrays of the operations; a layout is shared by the operations of its kind and by
// their queued and in-place forms.
QVariantList registerRead(Opcode opcode, qint32 qid, qint32 period, qint32 address,
                          const QVariant& dataType, qint32 count) {
    using L = RegisterReadTask;
    return task(opcode, qid, L::Size,
                {{L::Period, i4(period)},
                 {L::Address, i4(address)},
                 {L::DataType, dataType},
                 {L::Count, i4(count)}});
}

QVariantList write(Opcode opcode, qint32 qid, qint32 period, qint32 address,
                   const QVariant& value) {
    using L = WriteTask;
    return task(opcode, qid, L::Size,
                {{L::Period, i4(period)}, {L::Address, i4(address)}, {L::Value, value}});
}

QVariantList bitRead(Opcode opcode, qint32 qid, qint32 period, qint32 address, qint32 count) {
    using L = BitReadTask;
    return task(opcode, qid, L::Size,
                {{L::Period, i4(period)}, {L::Address, i4(address)}, {L::Count, i4(count)}});
}

// `time`: year, month, day, hour, minute, second.
QVariantList timeArch(qint32 qid, qint32 archive, const QVariant& count, const QVariantList& time,
                      const QVariant& dataType) {
    using L = TimeArchTask;
    QVariantList t = task(opReadTimeArch, qid, L::Size,
                          {{L::Archive, i4(archive)}, {L::Count, count}, {L::DataType, dataType}});
    for (int i = 0; i < time.size(); ++i)
        t[L::Year + i] = time[i];
    return t;
}

QVariantList indexArch(qint32 qid, qint32 archive, const QVariant& count, qint32 index,
                       const QVariant& dataType) {
    using L = IndexArchTask;
    return task(opReadIndexArch, qid, L::Size,
                {{L::Archive, i4(archive)},
                 {L::Count, count},
                 {L::Index, i4(index)},
                 {L::DataType, dataType}});
}

QVariantList timeArchEx(qint32 qid, qint32 archive, const QVariant& count, const QDateTime& time,
                        const QVariant& dataType, quint8 archType, qint32 timeField) {
    using L = TimeArchExTask;
    return task(opReadTimeArchEx, qid, L::Size,
                {{L::Archive, i4(archive)},
                 {L::Count, count},
                 {L::Time, QVariant(time)},
                 {L::DataType, dataType},
                 {L::ArchType, ui1(archType)},
                 {L::TimeField, i4(timeField)}});
}

QVariantList status(qint32 qid, qint32 period) {
    return task(opReadStatus, qid, StatusTask::Size, {{StatusTask::Period, i4(period)}});
}

} // namespace

TModbusMaster::TModbusMaster(QObject* AOwner, bool ADesignTime)
    : TAnyMasterCustom(AOwner, ADesignTime) {
    FIntType = itMB;
}

QVariant TModbusMaster::GetProps() {
    using L = MasterPropsArray;
    QVariantList p(L::Size);
    p[L::DeviceAddress] = i4(FDeviceAddress);
    p[L::Mode] = ui1(FMode);
    p[L::Parity] = ui1(FParity);
    return p;
}

void TModbusMaster::SetProps(const QVariant& Value) {
    using L = MasterPropsArray;
    inUpdate(*this, [&] {
        const QVariantList props = propsElements(Value, L::Size);
        SetDeviceAddress(settingsInt(props[L::DeviceAddress], "DeviceAddress"));
        SetMode(TModbusMode(settingsInt(props[L::Mode], "Mode")));
        SetParity(TModbusParity(settingsInt(props[L::Parity], "Parity")));
    });
}

QVariantList TModbusMaster::SettingsArray() const {
    using L = MasterSettingsArray;
    QVariantList a(L::Size);
    a[L::IntType] = ui1(FIntType);
    a[L::DeviceAddress] = i4(FDeviceAddress);
    a[L::Mode] = ui1(FMode);
    a[L::Parity] = ui1(FParity);
    a[L::Retries] = i4(FRetries);
    a[L::AdjustToWord] = QVariant(FAdjustToWord != 0);
    a[L::OptimalUseFunction] = QVariant(FOptimalUseFunction != 0);
    return a;
}

void TModbusMaster::SendProps() {
    if (FDesignTime || !FAM || FUpdating)
        return;
    FAM->SetProps(SettingsArray());
}

void TModbusMaster::ServerExchange(QObject* /*ASender*/, const QVariant& AExchValue) {
    const QVariantList a = AExchValue.toList();
    const qint32 qid = a.value(Answer::QID).toInt();
    const qint32 address = a.value(Answer::Address).toInt();
    const qint32 function = a.value(Answer::Function).toInt();
    const QVariant value = a.value(Answer::Value);
    const qint32 result = a.value(Answer::Result).toInt();
    FLastErr = result;
    NotifyCallBack(this, qid, address, function, value, result);
    const auto handler = OnExchange;
    if (handler)
        handler(this, qid, address, function, value, result);
}

TBasePropsFrame* TModbusMaster::CreatePropsFrame() {
    return newPropsFrame(PropsFrameKind::Modbus);
}

QVariantList TModbusMaster::splitTime(const QDateTime& Time) {
    const QDate d = Time.date();
    const QTime t = Time.time();
    return {i4(((d.year() % 100) + 100) % 100),
            ui2(d.month()),
            ui2(d.day()),
            ui2(t.hour()),
            ui2(t.minute()),
            ui2(t.second())};
}

void TModbusMaster::addTask(const QVariantList& task) {
    if (FAM)
        FAM->AddTask(task);
}

// ---- queued operations ----

void TModbusMaster::Exchange(qint32 QID, qint32 MBAddr, qint32 FunNumber, qint32 Period,
                             const QVariant& Value, PExchRec) {
    using L = ExchangeTask;
    addTask(task(opExchange, QID, L::Size,
                 {{L::Address, i4(MBAddr)},
                  {L::Function, i4(FunNumber)},
                  {L::Period, i4(Period)},
                  {L::Value, Value}}));
}

void TModbusMaster::GetDeviceName(qint32 QID, PExchRec) {
    addTask(task(opGetDeviceName, QID, TaskHead::Size));
}

void TModbusMaster::ReadHoldRegs(qint32 QID, qint32 Period, qint32 RegAddress,
                                 const QVariant& DataType, qint32 DataCount, PExchRec) {
    addTask(registerRead(opReadHoldRegs, QID, Period, RegAddress, DataType, DataCount));
}

void TModbusMaster::WriteHoldRegs(qint32 QID, qint32 Period, qint32 RegAddress,
                                  const QVariant& Value, PExchRec) {
    addTask(write(opWriteHoldRegs, QID, Period, RegAddress, Value));
}

void TModbusMaster::ReadInputRegs(qint32 QID, qint32 Period, qint32 RegAddress,
                                  const QVariant& DataType, qint32 DataCount, PExchRec) {
    addTask(registerRead(opReadInputRegs, QID, Period, RegAddress, DataType, DataCount));
}

void TModbusMaster::ReadHoldBins(qint32 QID, qint32 Period, qint32 BinAddress, qint32 DataCount,
                                 PExchRec) {
    addTask(bitRead(opReadHoldBins, QID, Period, BinAddress, DataCount));
}

void TModbusMaster::WriteHoldBins(qint32 QID, qint32 Period, qint32 BinAddress,
                                  const QVariant& Value, PExchRec) {
    addTask(write(opWriteHoldBins, QID, Period, BinAddress, Value));
}

void TModbusMaster::ReadInputBins(qint32 QID, qint32 Period, qint32 BinAddress, qint32 DataCount,
                                  PExchRec) {
    addTask(bitRead(opReadInputBins, QID, Period, BinAddress, DataCount));
}

void TModbusMaster::ReadTimeArch(qint32 QID, qint32 ArchNum, qint32 ArchCount, qint32 Year,
                                 qint32 Month, qint32 Day, qint32 Hour, qint32 Min, qint32 Sek,
                                 const QVariant& DataType, PExchRec) {
    addTask(timeArch(QID, ArchNum, i4(ArchCount),
                     {i4(Year), i4(Month), i4(Day), i4(Hour), i4(Min), i4(Sek)}, DataType));
}

void TModbusMaster::ReadTimeArch(qint32 QID, qint32 ArchNum, const QDateTime& Time,
                                 const QVariant& DataType, qint32 Count) {
    if (!FAM)
        FLastErr = rcNoTransport;
    addTask(timeArch(QID, ArchNum, i4(Count), splitTime(Time), DataType));
}

void TModbusMaster::ReadIndexArch(qint32 QID, qint32 ArchNum, qint32 ArchCount, qint32 Index,
                                  const QVariant& DataType, PExchRec) {
    addTask(indexArch(QID, ArchNum, i4(ArchCount), Index, DataType));
}

void TModbusMaster::ReadStatus(qint32 QID, qint32 Period, PExchRec) {
    addTask(status(QID, Period));
}

void TModbusMaster::Diagnostics(qint32 QID, qint32 Period, qint32 SubFunc, qint32 Value, PExchRec) {
    using L = DiagnosticsTask;
    addTask(task(opDiagnostics, QID, L::Size,
                 {{L::Period, i4(Period)}, {L::SubFunction, i4(SubFunc)}, {L::Value, i4(Value)}}));
}

void TModbusMaster::ReadTimeArch(qint32 QID, qint32 ArchNum, const QDateTime& Time,
                                 const QVariant& DataType, qint32 Count, qint32 ArchTimeFieldIndex,
                                 quint8 ArchType) {
    if (!FAM)
        FLastErr = rcNoTransport;
    addTask(timeArchEx(QID, ArchNum, i4(Count), Time, DataType, ArchType, ArchTimeFieldIndex));
}

// ---- in-place operations ----

qint32 TModbusMaster::inplace(const QVariantList& task, QVariant* value) {
    if (!FAM)
        return kNotConnected;
    QVariant answer;
    FAM->AddInplaceTask(task, answer, -1);
    const QVariantList a = answer.toList();
    // An answer without a result element is no success.
    bool ok = false;
    qint32 result = a.size() > Answer::Result ? a[Answer::Result].toInt(&ok) : 0;
    if (!ok)
        result = rcUnknown;
    if (result == rcOk && value)
        *value = a[Answer::Value];
    FLastErr = result;
    return result;
}

qint32 TModbusMaster::GetDeviceNameI(qint32 QID, QString& Value) {
    Value.clear();
    QVariant v;
    const qint32 r = inplace(task(opGetDeviceName, QID, TaskHead::Size), &v);
    if (r == rcOk)
        Value = v.toString();
    return r;
}

qint32 TModbusMaster::ReadHoldRegsI(qint32 QID, qint32 Period, qint32 RegAddress,
                                    const QVariant& DataType, qint32 DataCount, QVariant& Value) {
    Value.clear();
    return inplace(registerRead(opReadHoldRegs, QID, Period, RegAddress, DataType, DataCount),
                   &Value);
}

qint32 TModbusMaster::WriteHoldRegsI(qint32 QID, qint32 Period, qint32 RegAddress,
                                     const QVariant& Value) {
    return inplace(write(opWriteHoldRegs, QID, Period, RegAddress, Value), nullptr);
}

qint32 TModbusMaster::ReadInputRegsI(qint32 QID, qint32 Period, qint32 RegAddress,
                                     const QVariant& DataType, qint32 DataCount, QVariant& Value) {
    Value.clear();
    return inplace(registerRead(opReadInputRegs, QID, Period, RegAddress, DataType, DataCount),
                   &Value);
}

qint32 TModbusMaster::ReadHoldBinsI(qint32 QID, qint32 Period, qint32 BinAddress, qint32 DataCount,
                                    QVariant& Value) {
    Value.clear();
    return inplace(bitRead(opReadHoldBins, QID, Period, BinAddress, DataCount), &Value);
}

qint32 TModbusMaster::WriteHoldBinsI(qint32 QID, qint32 Period, qint32 BinAddress,
                                     const QVariant& Value) {
    return inplace(write(opWriteHoldBins, QID, Period, BinAddress, Value), nullptr);
}

qint32 TModbusMaster::ReadInputBinsI(qint32 QID, qint32 Period, qint32 BinAddress, qint32 DataCount,
                                     QVariant& Value) {
    Value.clear();
    return inplace(bitRead(opReadInputBins, QID, Period, BinAddress, DataCount), &Value);
}

// The in-place archive reads ask for one record: the count element is the constant 1 (quint8).
qint32 TModbusMaster::ReadTimeArchI(qint32 QID, qint32 ArchNum, const QDateTime& Time,
                                    const QVariant& DataType, QVariant& Value) {
    Value.clear();
    return inplace(timeArch(QID, ArchNum, ui1(1), splitTime(Time), DataType), &Value);
}

qint32 TModbusMaster::ReadIndexArchI(qint32 QID, qint32 ArchNum, qint32 Index,
                                     const QVariant& DataType, QVariant& Value) {
    Value.clear();
    return inplace(indexArch(QID, ArchNum, ui1(1), Index, DataType), &Value);
}

qint32 TModbusMaster::ReadStatusI(qint32 QID, qint32 Period, quint8& Value) {
    QVariant v;
    const qint32 r = inplace(status(QID, Period), &v);
    if (r == rcOk)
        Value = quint8(v.toInt() & 0xFF);
    return r;
}

qint32 TModbusMaster::ReadTimeArchI(qint32 QID, qint32 ArchNum, const QDateTime& Time,
                                    const QVariant& DataType, QVariant& Value,
                                    qint32 ArchTimeFieldIndex, quint8 ArchType) {
    Value.clear();
    return inplace(timeArchEx(QID, ArchNum, ui1(1), Time, DataType, ArchType, ArchTimeFieldIndex),
                   &Value);
}

} // namespace comm
