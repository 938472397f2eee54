// SPDX-License-Identifier: MIT
#pragma once

#include "comm/basecomponents.h"
#include "comm/ipc/resultcodes.h"

#include <QDateTime>

namespace comm {

enum TModbusMode : quint8 { mmRTU = 0, mmASCII = 1 };
enum TModbusParity : quint8 { mpNone = 0, mpOdd = 1, mpEven = 2 };

using TMBMasterOnExchange =
    std::function<void(QObject* Sender, qint32 QID, qint32 MBAddr, qint32 FunNumber,
                       const QVariant& Value, qint32 Result)>;

// Modbus master: turns every Modbus operation into a task array for the server master object,
// queued (answered later through OnExchange) or in place (answered on return).
class TModbusMaster : public TAnyMasterCustom {
    Q_OBJECT
public:
    explicit TModbusMaster(QObject* AOwner = nullptr, bool ADesignTime = false);

    // Result code the master gives itself when it has no server master object.
    static constexpr qint32 kNotConnected = ipc::rcNoTransport;

    TQueryType GetQueryType() override { return FQueryType; }
    void SetQueryType(TQueryType Value) override { storeAndPush(*this, FQueryType, Value); }
    QVariant GetProps() override;
    void SetProps(const QVariant& Value) override;
    void SendProps() override;
    void ServerExchange(QObject* ASender, const QVariant& AExchValue) override;
    TBasePropsFrame* CreatePropsFrame() override;

    // Settings array as SendProps hands it to the server.
    [[nodiscard]] QVariantList SettingsArray() const;

    // Properties.
    qint32 DeviceAddress() const { return FDeviceAddress; }
    void SetDeviceAddress(qint32 Value) { storeAndPush(*this, FDeviceAddress, Value); }
    TModbusParity Parity() const { return FParity; }
    void SetParity(TModbusParity Value) { storeAndPush(*this, FParity, Value); }
    bool OptimalUseFunction() const { return FOptimalUseFunction != 0; }
    void SetOptimalUseFunction(bool Value) {
        storeAndPush(*this, FOptimalUseFunction, qint16(Value ? -1 : 0));
    }
    TModbusMode Mode() const { return FMode; }
    void SetMode(TModbusMode Value) { storeAndPush(*this, FMode, Value); }
    bool AdjustToWord() const { return FAdjustToWord != 0; }
    void SetAdjustToWord(bool Value) { storeAndPush(*this, FAdjustToWord, qint16(Value ? -1 : 0)); }
    qint32 Retries() const { return FRetries; }
    void SetRetries(qint32 Value) { storeAndPush(*this, FRetries, Value); }
    TMBMasterOnExchange OnExchange;

    // Queued operations (RetValue is accepted and ignored).
    void Exchange(qint32 QID, qint32 MBAddr, qint32 FunNumber, qint32 Period, const QVariant& Value,
                  PExchRec RetValue = nullptr);
    void GetDeviceName(qint32 QID, PExchRec RetValue = nullptr);
    void ReadHoldRegs(qint32 QID, qint32 Period, qint32 RegAddress, const QVariant& DataType,
                      qint32 DataCount, PExchRec RetValue = nullptr);
    void WriteHoldRegs(qint32 QID, qint32 Period, qint32 RegAddress, const QVariant& Value,
                       PExchRec RetValue = nullptr);
    void ReadInputRegs(qint32 QID, qint32 Period, qint32 RegAddress, const QVariant& DataType,
                       qint32 DataCount, PExchRec RetValue = nullptr);
    void ReadHoldBins(qint32 QID, qint32 Period, qint32 BinAddress, qint32 DataCount,
                      PExchRec RetValue = nullptr);
    void WriteHoldBins(qint32 QID, qint32 Period, qint32 BinAddress, const QVariant& Value,
                       PExchRec RetValue = nullptr);
    void ReadInputBins(qint32 QID, qint32 Period, qint32 BinAddress, qint32 DataCount,
                       PExchRec RetValue = nullptr);
    void ReadTimeArch(qint32 QID, qint32 ArchNum, qint32 ArchCount, qint32 Year, qint32 Month,
                      qint32 Day, qint32 Hour, qint32 Min, qint32 Sek, const QVariant& DataType,
                      PExchRec RetValue = nullptr);
    void ReadTimeArch(qint32 QID, qint32 ArchNum, const QDateTime& Time, const QVariant& DataType,
                      qint32 Count);
    void ReadIndexArch(qint32 QID, qint32 ArchNum, qint32 ArchCount, qint32 Index,
                       const QVariant& DataType, PExchRec RetValue = nullptr);
    void ReadStatus(qint32 QID, qint32 Period, PExchRec RetValue = nullptr);
    void Diagnostics(qint32 QID, qint32 Period, qint32 SubFunc, qint32 Value,
                     PExchRec RetValue = nullptr);
    void ReadTimeArch(qint32 QID, qint32 ArchNum, const QDateTime& Time, const QVariant& DataType,
                      qint32 Count, qint32 ArchTimeFieldIndex, quint8 ArchType);

    // In-place operations: the result code (0 = success); Value only on success.
    [[nodiscard]] qint32 GetDeviceNameI(qint32 QID, QString& Value);
    [[nodiscard]] qint32 ReadHoldRegsI(qint32 QID, qint32 Period, qint32 RegAddress,
                                       const QVariant& DataType, qint32 DataCount, QVariant& Value);
    [[nodiscard]] qint32 WriteHoldRegsI(qint32 QID, qint32 Period, qint32 RegAddress,
                                        const QVariant& Value);
    [[nodiscard]] qint32 ReadInputRegsI(qint32 QID, qint32 Period, qint32 RegAddress,
                                        const QVariant& DataType, qint32 DataCount,
                                        QVariant& Value);
    [[nodiscard]] qint32 ReadHoldBinsI(qint32 QID, qint32 Period, qint32 BinAddress,
                                       qint32 DataCount, QVariant& Value);
    [[nodiscard]] qint32 WriteHoldBinsI(qint32 QID, qint32 Period, qint32 BinAddress,
                                        const QVariant& Value);
    [[nodiscard]] qint32 ReadInputBinsI(qint32 QID, qint32 Period, qint32 BinAddress,
                                        qint32 DataCount, QVariant& Value);
    [[nodiscard]] qint32 ReadTimeArchI(qint32 QID, qint32 ArchNum, const QDateTime& Time,
                                       const QVariant& DataType, QVariant& Value);
    [[nodiscard]] qint32 ReadIndexArchI(qint32 QID, qint32 ArchNum, qint32 Index,
                                        const QVariant& DataType, QVariant& Value);
    [[nodiscard]] qint32 ReadStatusI(qint32 QID, qint32 Period, quint8& Value);
    [[nodiscard]] qint32 ReadTimeArchI(qint32 QID, qint32 ArchNum, const QDateTime& Time,
                                       const QVariant& DataType, QVariant& Value,
                                       qint32 ArchTimeFieldIndex, quint8 ArchType);

    // Date-time split of the ReadTimeArch forms with a Time argument: year as two digits (VT_I4),
    // then month, day, hour, minute, second (VT_UI2).
    [[nodiscard]] static QVariantList splitTime(const QDateTime& Time);

private:
    // Queues a task; nothing without a server master object.
    void addTask(const QVariantList& task);
    // Runs an in-place task; on success the answer's value goes to value.
    [[nodiscard]] qint32 inplace(const QVariantList& task, QVariant* value);

    qint16 FAdjustToWord = -1;
    TModbusMode FMode = mmRTU;
    qint16 FOptimalUseFunction = 0;
    qint32 FDeviceAddress = 1;
    TModbusParity FParity = mpNone;
    qint32 FRetries = 10;
};

} // namespace comm
