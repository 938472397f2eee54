// SPDX-License-Identifier: MIT
#pragma once

#include "comm/ipc/datatypes.h"
#include "comm/ipc/resultcodes.h"
#include "comm/ipc/settingsarrays.h"
#include "comm/ipc/speeds.h"
#include "comm/ipc/taskarrays.h"

#include <QList>
#include <QModbusDevice>
#include <QModbusPdu>
#include <QString>
#include <QVariant>

// Task arrays of the masters turned into Modbus requests, and replies turned into answer arrays.
// Pure functions: no port, no timing.
namespace server {

// Result codes, opcodes, value type codes and array layouts are the protocol's.
using namespace comm::ipc;

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
[[nodiscard]] bool parseMasterSettings(const QVariant& props, MasterSettings& out, QString* why);

// Settings array of a serial transport: type, port, speed ordinal, flow control ordinal, answer
// delay, byte timeout, retries.
struct TransportSettings {
    quint8 type = 0;
    QString port = QStringLiteral("COM1");
    quint32 speed = comm::cts19200;
    quint32 flowControl = 0;
    qint32 answerDelay = 500;
    qint32 byteTimeout = 10;
    qint32 retries = 10;
};
[[nodiscard]] bool parseTransportSettings(const QVariant& props, TransportSettings& out,
                                          QString* why);
// Baud rate of a speed ordinal (1200 ... 115200, then 600); 0 when unknown.
[[nodiscard]] inline qint32 baudRateForOrdinal(quint32 ordinal) {
    return baudRateOf(ordinal);
}

// What a task asks of the instrument.
struct TaskPlan {
    // How the reply is read (decodeReply has a decoder for each, in this order).
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

[[nodiscard]] TaskPlan planTask(const QVariant& task, const MasterSettings& settings);

struct TaskOutcome {
    QVariant value;
    qint32 result = rcOk;
};

// Value of a successful reply.
[[nodiscard]] TaskOutcome decodeReply(const TaskPlan& plan, const QModbusResponse& reply);

// Result code of a failed request.
[[nodiscard]] qint32 resultForError(QModbusDevice::Error error, int exceptionCode);

// [opcode (UI1), QID (I4), device address (I4), function (I4), value, result (I4)]
[[nodiscard]] QVariantList answerArray(const TaskPlan& plan, const TaskOutcome& outcome);

} // namespace server
