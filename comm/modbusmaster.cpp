#include "comm/modbusmaster.h"

#include "comm/propsframes.h"

namespace comm {

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

QVariantList header(quint8 opcode, qint32 qid) {
    return {ui1(opcode), i4(qid)};
}

qint32 toInt(const QVariant& v, const char* what) {
    bool ok = false;
    const qint32 x = v.toInt(&ok);
    if (!ok)
        throw EConvertError(QStringLiteral("'%1' is not a valid integer value (%2)")
                                .arg(v.toString(), QLatin1String(what)));
    return x;
}

} // namespace

TModbusMaster::TModbusMaster(QObject* AOwner, bool ADesignTime)
    : TAnyMasterCustom(AOwner, ADesignTime) {
    FIntType = itMB;
}

void TModbusMaster::SetQueryType(TQueryType Value) {
    FQueryType = Value;
    SendProps();
}

void TModbusMaster::SetDeviceAddress(qint32 Value) {
    FDeviceAddress = Value;
    SendProps();
}

void TModbusMaster::SetParity(TModbusParity Value) {
    FParity = Value;
    SendProps();
}

void TModbusMaster::SetOptimalUseFunction(bool Value) {
    FOptimalUseFunction = Value ? -1 : 0;
    SendProps();
}

void TModbusMaster::SetMode(TModbusMode Value) {
    FMode = Value;
    SendProps();
}

void TModbusMaster::SetAdjustToWord(bool Value) {
    FAdjustToWord = Value ? -1 : 0;
    SendProps();
}

void TModbusMaster::SetRetries(qint32 Value) {
    FRetries = Value;
    SendProps();
}

QVariant TModbusMaster::GetProps() {
    return QVariantList{i4(FDeviceAddress), ui1(FMode), ui1(FParity)};
}

void TModbusMaster::SetProps(const QVariant& Value) {
    const QVariantList props = Value.toList();
    BeginUpdate();
    try {
        if (props.size() < 3)
            throw EConvertError(QStringLiteral("the settings array needs 3 elements"));
        SetDeviceAddress(toInt(props[0], "DeviceAddress"));
        SetMode(TModbusMode(toInt(props[1], "Mode")));
        SetParity(TModbusParity(toInt(props[2], "Parity")));
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

QVariantList TModbusMaster::SettingsArray() const {
    return {ui1(FIntType),
            i4(FDeviceAddress),
            ui1(FMode),
            ui1(FParity),
            i4(FRetries),
            QVariant(FAdjustToWord != 0),
            QVariant(FOptimalUseFunction != 0)};
}

void TModbusMaster::SendProps() {
    if (FDesignTime || !FAM || FUpdating)
        return;
    FAM->SetProps(SettingsArray());
}

void TModbusMaster::ServerExchange(QObject* /*ASender*/, const QVariant& AExchValue) {
    const QVariantList a = AExchValue.toList();
    FLastErr = a.value(5).toInt();
    NotifyCallBack(this, a.value(1).toInt(), a.value(2).toInt(), a.value(3).toInt(), a.value(4),
                   a.value(5).toInt());
    const auto handler = OnExchange;
    if (handler)
        handler(this, a.value(1).toInt(), a.value(2).toInt(), a.value(3).toInt(), a.value(4),
                a.value(5).toInt());
}

TBasePropsFrame* TModbusMaster::CreatePropsFrame() {
    return createPropsFrame(PropsFrameKind::Modbus);
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
    FAM->AddTask(task);
}

// ---- queued operations ----

void TModbusMaster::Exchange(qint32 QID, qint32 MBAddr, qint32 FunNumber, qint32 Period,
                             const QVariant& Value, PExchRec) {
    if (!FAM)
        return;
    addTask(header(0, QID) << i4(MBAddr) << i4(FunNumber) << i4(Period) << Value);
}

void TModbusMaster::GetDeviceName(qint32 QID, PExchRec) {
    if (!FAM)
        return;
    addTask(header(1, QID));
}

void TModbusMaster::ReadHoldRegs(qint32 QID, qint32 Period, qint32 RegAddress,
                                 const QVariant& DataType, qint32 DataCount, PExchRec) {
    if (!FAM)
        return;
    addTask(header(2, QID) << i4(Period) << i4(RegAddress) << DataType << i4(DataCount));
}

void TModbusMaster::WriteHoldRegs(qint32 QID, qint32 Period, qint32 RegAddress,
                                  const QVariant& Value, PExchRec) {
    if (!FAM)
        return;
    addTask(header(3, QID) << i4(Period) << i4(RegAddress) << Value);
}

void TModbusMaster::ReadInputRegs(qint32 QID, qint32 Period, qint32 RegAddress,
                                  const QVariant& DataType, qint32 DataCount, PExchRec) {
    if (!FAM)
        return;
    addTask(header(4, QID) << i4(Period) << i4(RegAddress) << DataType << i4(DataCount));
}

void TModbusMaster::ReadHoldBins(qint32 QID, qint32 Period, qint32 BinAddress, qint32 DataCount,
                                 PExchRec) {
    if (!FAM)
        return;
    addTask(header(5, QID) << i4(Period) << i4(BinAddress) << i4(DataCount));
}

void TModbusMaster::WriteHoldBins(qint32 QID, qint32 Period, qint32 BinAddress,
                                  const QVariant& Value, PExchRec) {
    if (!FAM)
        return;
    addTask(header(6, QID) << i4(Period) << i4(BinAddress) << Value);
}

void TModbusMaster::ReadInputBins(qint32 QID, qint32 Period, qint32 BinAddress, qint32 DataCount,
                                  PExchRec) {
    if (!FAM)
        return;
    addTask(header(7, QID) << i4(Period) << i4(BinAddress) << i4(DataCount));
}

void TModbusMaster::ReadTimeArch(qint32 QID, qint32 ArchNum, qint32 ArchCount, qint32 Year,
                                 qint32 Month, qint32 Day, qint32 Hour, qint32 Min, qint32 Sek,
                                 const QVariant& DataType, PExchRec) {
    if (!FAM)
        return;
    addTask(header(8, QID) << i4(ArchNum) << i4(ArchCount) << i4(Year) << i4(Month) << i4(Day)
                           << i4(Hour) << i4(Min) << i4(Sek) << DataType);
}

void TModbusMaster::ReadTimeArch(qint32 QID, qint32 ArchNum, const QDateTime& Time,
                                 const QVariant& DataType, qint32 Count) {
    if (!FAM) {
        FLastErr = kNotConnected;
        return;
    }
    addTask(header(8, QID) << i4(ArchNum) << i4(Count) << splitTime(Time) << DataType);
}

void TModbusMaster::ReadIndexArch(qint32 QID, qint32 ArchNum, qint32 ArchCount, qint32 Index,
                                  const QVariant& DataType, PExchRec) {
    if (!FAM)
        return;
    addTask(header(9, QID) << i4(ArchNum) << i4(ArchCount) << i4(Index) << DataType);
}

void TModbusMaster::ReadStatus(qint32 QID, qint32 Period, PExchRec) {
    if (!FAM)
        return;
    addTask(header(10, QID) << i4(Period));
}

void TModbusMaster::Diagnostics(qint32 QID, qint32 Period, qint32 SubFunc, qint32 Value, PExchRec) {
    if (!FAM)
        return;
    addTask(header(11, QID) << i4(Period) << i4(SubFunc) << i4(Value));
}

void TModbusMaster::ReadTimeArch(qint32 QID, qint32 ArchNum, const QDateTime& Time,
                                 const QVariant& DataType, qint32 Count, qint32 ArchTimeFieldIndex,
                                 quint8 ArchType) {
    if (!FAM) {
        FLastErr = kNotConnected;
        return;
    }
    addTask(header(12, QID) << i4(ArchNum) << i4(Count) << QVariant(Time) << DataType
                            << ui1(ArchType) << i4(ArchTimeFieldIndex));
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
    qint32 result = a.size() > 5 ? a[5].toInt(&ok) : 0;
    if (!ok)
        result = 14;
    if (result == 0 && value)
        *value = a[4];
    FLastErr = result;
    return result;
}

qint32 TModbusMaster::GetDeviceNameI(qint32 QID, QString& Value) {
    Value.clear();
    QVariant v;
    const qint32 r = inplace(header(1, QID), &v);
    if (r == 0)
        Value = v.toString();
    return r;
}

qint32 TModbusMaster::ReadHoldRegsI(qint32 QID, qint32 Period, qint32 RegAddress,
                                    const QVariant& DataType, qint32 DataCount, QVariant& Value) {
    Value.clear();
    return inplace(header(2, QID) << i4(Period) << i4(RegAddress) << DataType << i4(DataCount),
                   &Value);
}

qint32 TModbusMaster::WriteHoldRegsI(qint32 QID, qint32 Period, qint32 RegAddress,
                                     const QVariant& Value) {
    return inplace(header(3, QID) << i4(Period) << i4(RegAddress) << Value, nullptr);
}

qint32 TModbusMaster::ReadInputRegsI(qint32 QID, qint32 Period, qint32 RegAddress,
                                     const QVariant& DataType, qint32 DataCount, QVariant& Value) {
    Value.clear();
    return inplace(header(4, QID) << i4(Period) << i4(RegAddress) << DataType << i4(DataCount),
                   &Value);
}

qint32 TModbusMaster::ReadHoldBinsI(qint32 QID, qint32 Period, qint32 BinAddress, qint32 DataCount,
                                    QVariant& Value) {
    Value.clear();
    return inplace(header(5, QID) << i4(Period) << i4(BinAddress) << i4(DataCount), &Value);
}

qint32 TModbusMaster::WriteHoldBinsI(qint32 QID, qint32 Period, qint32 BinAddress,
                                     const QVariant& Value) {
    return inplace(header(6, QID) << i4(Period) << i4(BinAddress) << Value, nullptr);
}

qint32 TModbusMaster::ReadInputBinsI(qint32 QID, qint32 Period, qint32 BinAddress, qint32 DataCount,
                                     QVariant& Value) {
    Value.clear();
    return inplace(header(7, QID) << i4(Period) << i4(BinAddress) << i4(DataCount), &Value);
}

qint32 TModbusMaster::ReadTimeArchI(qint32 QID, qint32 ArchNum, const QDateTime& Time,
                                    const QVariant& DataType, QVariant& Value) {
    Value.clear();
    return inplace(header(8, QID) << i4(ArchNum) << ui1(1) << splitTime(Time) << DataType, &Value);
}

qint32 TModbusMaster::ReadIndexArchI(qint32 QID, qint32 ArchNum, qint32 Index,
                                     const QVariant& DataType, QVariant& Value) {
    Value.clear();
    return inplace(header(9, QID) << i4(ArchNum) << ui1(1) << i4(Index) << DataType, &Value);
}

qint32 TModbusMaster::ReadStatusI(qint32 QID, qint32 Period, quint8& Value) {
    QVariant v;
    const qint32 r = inplace(header(10, QID) << i4(Period), &v);
    if (r == 0)
        Value = quint8(v.toInt() & 0xFF);
    return r;
}

qint32 TModbusMaster::ReadTimeArchI(qint32 QID, qint32 ArchNum, const QDateTime& Time,
                                    const QVariant& DataType, QVariant& Value,
                                    qint32 ArchTimeFieldIndex, quint8 ArchType) {
    Value.clear();
    return inplace(header(12, QID) << i4(ArchNum) << ui1(1) << QVariant(Time) << DataType
                                   << ui1(ArchType) << i4(ArchTimeFieldIndex),
                   &Value);
}

} // namespace comm
