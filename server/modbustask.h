#pragma once

#include <QList>
#include <QModbusDevice>
#include <QModbusPdu>
#include <QString>
#include <QVariant>

// Task arrays of the masters turned into Modbus requests, and replies turned into answer arrays.
// Pure functions: no port, no timing.
namespace server {

// Result codes of the answers (the common result-code table).
enum ResultCode : qint32 {
    rcOk = 0,
    rcNoAnswer = 1,
    rcCrc = 2,
    rcChannelClosed = 3,
    rcIllegalFunction = 4,
    rcIllegalData = 5,
    rcAccess = 6,
    rcAcknowledge = 7,
    rcBusy = 8,
    rcCannotExecute = 9,
    rcParity = 10,
    rcIllegalAddress = 11,
    rcBadAddress = 12,
    rcBadFunction = 13,
    rcUnknown = 14,
    rcBadDataType = 15,
    rcLengthMismatch = 16,
    rcBadFloat = 17,
    rcNoTransport = 18,
};

// Task opcodes.
enum Opcode : quint8 {
    opExchange = 0,
    opGetDeviceName = 1,
    opReadHoldRegs = 2,
    opWriteHoldRegs = 3,
    opReadInputRegs = 4,
    opReadHoldBins = 5,
    opWriteHoldBins = 6,
    opReadInputBins = 7,
    opReadTimeArch = 8,
    opReadIndexArch = 9,
    opReadStatus = 10,
    opDiagnostics = 11,
    opReadTimeArchEx = 12,
};

// Settings array of a master: IntType, DeviceAddress, Mode, Parity, Retries, AdjustToWord,
// OptimalUseFunction.
struct MasterSettings {
    qint32 deviceAddress = 1;
    quint8 mode = 0;
    quint8 parity = 0;
    qint32 retries = 10;
    bool adjustToWord = true;
    bool optimalUseFunction = false; // single register / coil writes use functions 6 / 5
};
bool parseMasterSettings(const QVariant& props, MasterSettings& out, QString* why);

// Settings array of a serial transport: type, port, speed ordinal, flow control ordinal, answer
// delay, byte timeout, retries.
struct TransportSettings {
    quint8 type = 0;
    QString port = QStringLiteral("COM1");
    quint32 speed = 4;
    quint32 flowControl = 0;
    qint32 answerDelay = 500;
    qint32 byteTimeout = 10;
    qint32 retries = 10;
};
bool parseTransportSettings(const QVariant& props, TransportSettings& out, QString* why);
// Baud rate of a speed ordinal (1200 ... 115200, then 600); 0 when unknown.
qint32 baudRateForOrdinal(quint32 ordinal);

// What a task asks of the instrument.
struct TaskPlan {
    enum class Reply { Registers, Bits, Raw, DeviceName, Status, Diagnostics, Archive, Written };

    quint8 opcode = 0;
    qint32 qid = 0;
    qint32 address = 0;  // device address of the request
    qint32 function = 0; // Modbus function of the request
    // Nonzero: the task cannot be sent; answer at once with this code.
    qint32 result = rcOk;
    QModbusRequest request;
    Reply reply = Reply::Raw;
    QList<int> types;          // value type codes of one item (registers, archive records)
    bool typesAsArray = false; // the caller gave an array of codes
    int count = 1;             // items (registers) or records (archive)
    bool adjustToWord = true;  // register values start on register boundaries
    int bitCount = 0;
};

TaskPlan planTask(const QVariant& task, const MasterSettings& settings);

struct TaskOutcome {
    QVariant value;
    qint32 result = rcOk;
};

// Value of a successful reply.
TaskOutcome decodeReply(const TaskPlan& plan, const QModbusResponse& reply);

// Result code of a failed request.
qint32 resultForError(QModbusDevice::Error error, int exceptionCode);

// [opcode (UI1), QID (I4), device address (I4), function (I4), value, result (I4)]
QVariantList answerArray(const TaskPlan& plan, const TaskOutcome& outcome);

// Byte size of a value type code; 0 for an unknown code, -1 for text (takes the rest).
int typeSize(int code);

} // namespace server
