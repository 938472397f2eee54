// SPDX-License-Identifier: MIT
#include "server/modbustask.h"

#include "platform/codepage.h"
#include "server/modbusext.h"

#include <QtEndian>

#include <algorithm>
#include <bit>
#include <iterator>

namespace server {

namespace {

bool intAt(const QVariantList& a, int i, qint32& out) {
    if (i >= a.size())
        return false;
    bool ok = false;
    out = a[i].toInt(&ok);
    return ok;
}

// Type codes of a DataType argument: an integer or an array of integers.
bool typeCodes(const QVariant& v, QList<int>& codes, bool& asArray) {
    codes.clear();
    asArray = v.metaType().id() == QMetaType::QVariantList;
    if (asArray) {
        for (const QVariant& e : v.toList()) {
            bool ok = false;
            const int c = e.toInt(&ok);
            if (!ok)
                return false;
            codes.append(c);
        }
        return !codes.isEmpty();
    }
    bool ok = false;
    const int c = v.toInt(&ok);
    if (ok)
        codes.append(c);
    return ok;
}

quint64 bigEndian(const uchar* p, int n) {
    quint64 v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

QVariant valueOf(int code, const uchar* p) {
    switch (code) {
    case vtI2:
        return QVariant::fromValue(qint16(bigEndian(p, 2)));
    case vtI4:
    case vtInt:
        return QVariant::fromValue(qint32(quint32(bigEndian(p, 4))));
    case vtR4:
        return QVariant::fromValue(std::bit_cast<float>(quint32(bigEndian(p, 4))));
    case vtR8:
        return QVariant::fromValue(std::bit_cast<double>(quint64(bigEndian(p, 8))));
    case vtBool:
        return QVariant(bigEndian(p, 2) != 0);
    case vtI1:
        return QVariant::fromValue(qint8(p[0]));
    case vtUI1:
        return QVariant::fromValue(quint8(p[0]));
    case vtUI2:
        return QVariant::fromValue(quint16(bigEndian(p, 2)));
    case vtUI4:
    case vtUInt:
        return QVariant::fromValue(quint32(bigEndian(p, 4)));
    case vtI8:
        return QVariant::fromValue(qint64(bigEndian(p, 8)));
    case vtUI8:
        return QVariant::fromValue(quint64(bigEndian(p, 8)));
    default:
        return {};
    }
}

template <typename T> QByteArray bigEndianBytes(T v) {
    QByteArray b(sizeof(T), '\0');
    qToBigEndian<T>(v, b.data());
    return b;
}

QByteArray be16(quint32 v) {
    return bigEndianBytes(quint16(v));
}

// Register bytes of a value to write; false for a type registers cannot hold.
bool registerBytes(const QVariant& v, QByteArray& out) {
    switch (v.metaType().id()) {
    case QMetaType::UChar:
    case QMetaType::SChar:
    case QMetaType::Char:
        out += be16(quint8(v.toInt()));
        return true;
    case QMetaType::UShort:
    case QMetaType::Short:
        out += be16(quint16(v.toInt()));
        return true;
    case QMetaType::Bool:
        out += be16(v.toBool() ? 1 : 0);
        return true;
    case QMetaType::Int:
    case QMetaType::UInt:
        out += bigEndianBytes(quint32(v.toUInt()));
        return true;
    case QMetaType::Float:
        out += bigEndianBytes(std::bit_cast<quint32>(v.toFloat()));
        return true;
    case QMetaType::Double:
        out += bigEndianBytes(std::bit_cast<quint64>(v.toDouble()));
        return true;
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        out += bigEndianBytes(quint64(v.toULongLong()));
        return true;
    default:
        return false;
    }
}

QVariantList asItems(const QVariant& v) {
    if (v.metaType().id() == QMetaType::QVariantList)
        return v.toList();
    return {v};
}

TaskPlan fail(TaskPlan p, qint32 code) {
    p.result = code;
    return p;
}

} // namespace

bool parseMasterSettings(const QVariant& props, MasterSettings& out, QString* why) {
    const QVariantList a = props.toList();
    MasterSettings s;
    using L = MasterSettingsArray;
    qint32 mode = 0, parity = 0;
    if (a.size() < L::Size || !intAt(a, L::DeviceAddress, s.deviceAddress) ||
        !intAt(a, L::Mode, mode) || !intAt(a, L::Parity, parity) ||
        !intAt(a, L::Retries, s.retries)) {
        if (why)
            *why = QStringLiteral("master settings: 7 elements expected (type, address, mode, "
                                  "parity, retries, adjust to word, optimal functions)");
        return false;
    }
    s.mode = quint8(mode);
    s.parity = quint8(parity);
    s.adjustToWord = a[L::AdjustToWord].toBool();
    s.optimalUseFunction = a[L::OptimalUseFunction].toBool();
    out = s;
    return true;
}

bool parseTransportSettings(const QVariant& props, TransportSettings& out, QString* why) {
    const QVariantList a = props.toList();
    TransportSettings s;
    using L = TransportSettingsArray;
    qint32 type = 0, speed = 0, flow = 0;
    if (a.size() < L::Size || !intAt(a, L::Type, type) || !intAt(a, L::Speed, speed) ||
        !intAt(a, L::FlowControl, flow) || !intAt(a, L::AnswerDelay, s.answerDelay) ||
        !intAt(a, L::ByteTimeout, s.byteTimeout) || !intAt(a, L::Retries, s.retries)) {
        if (why)
            *why = QStringLiteral("transport settings: 7 elements expected (type, port, speed, "
                                  "flow control, answer delay, byte timeout, retries)");
        return false;
    }
    if (baudRateOf(speed) == 0 || flow < 0 || flow > 1) {
        if (why)
            *why = QStringLiteral("transport settings: speed %1 or flow control %2 unknown")
                       .arg(speed)
                       .arg(flow);
        return false;
    }
    s.type = quint8(type);
    s.port = a[L::Port].toString();
    s.speed = quint32(speed);
    s.flowControl = quint32(flow);
    out = s;
    return true;
}

namespace {

// ---- planning, one function a task kind ----

// A register range of `count` registers from `first` within the 16-bit address space.
bool rangeFits(qint32 first, qint64 count, qint64 most) {
    return first >= 0 && first <= 0xFFFF && count >= 1 && count <= most && first + count <= 0x10000;
}

// The plan completed with its request.
TaskPlan withRequest(TaskPlan p, TaskPlan::Reply reply, int function, const QByteArray& data = {}) {
    p.reply = reply;
    p.function = function;
    p.request = QModbusRequest(QModbusPdu::FunctionCode(function), data);
    return p;
}

// A write of `count` items from `address`: with the single-item function and `single` when
// `useSingle`, else with the multiple-item function, the count and `data`.
TaskPlan withWrite(TaskPlan p, qint32 address, int count, const QByteArray& data, bool useSingle,
                   int singleFunction, const QByteArray& single, int multipleFunction) {
    if (useSingle)
        return withRequest(p, TaskPlan::Reply::Written, singleFunction,
                           be16(quint32(address)) + single);
    return withRequest(p, TaskPlan::Reply::Written, multipleFunction,
                       be16(quint32(address)) + be16(quint32(count)) +
                           QByteArray(1, char(data.size())) + data);
}

// The first address and the values of a write task; false when the task lacks them.
bool writeTarget(const QVariantList& t, qint32& address, QVariantList& values) {
    if (!intAt(t, WriteTask::Address, address) || t.size() < WriteTask::Size)
        return false;
    values = asItems(t[WriteTask::Value]);
    return true;
}

TaskPlan planRegisterRead(TaskPlan p, const QVariantList& t, const MasterSettings& settings) {
    using L = RegisterReadTask;
    qint32 reg = 0, count = 0;
    if (!intAt(t, L::Address, reg) || !intAt(t, L::Count, count))
        return fail(p, rcIllegalData);
    if (!typeCodes(t[L::DataType], p.types, p.typesAsArray))
        return fail(p, rcBadDataType);
    int itemBytes = 0;
    for (int c : p.types) {
        const int size = varTypeSize(c);
        if (size <= 0)
            return fail(p, rcBadDataType);
        itemBytes += settings.adjustToWord ? (size + 1) / 2 * 2 : size;
    }
    const qint64 registers = (qint64(itemBytes) * count + 1) / 2;
    if (count < 1 || !rangeFits(reg, registers, 125))
        return fail(p, rcIllegalData);
    p.count = count;
    p.adjustToWord = settings.adjustToWord;
    return withRequest(p, TaskPlan::Reply::Registers,
                       p.opcode == opReadHoldRegs ? QModbusPdu::ReadHoldingRegisters
                                                  : QModbusPdu::ReadInputRegisters,
                       be16(quint32(reg)) + be16(quint32(registers)));
}

TaskPlan planRegisterWrite(TaskPlan p, const QVariantList& t, const MasterSettings& settings) {
    qint32 reg = 0;
    QVariantList values;
    if (!writeTarget(t, reg, values))
        return fail(p, rcIllegalData);
    QByteArray bytes;
    const auto toBytes = [&bytes](const QVariant& v) { return registerBytes(v, bytes); };
    if (!std::all_of(values.cbegin(), values.cend(), toBytes))
        return fail(p, rcBadDataType);
    const int registers = int(bytes.size() / 2);
    if (!rangeFits(reg, registers, 123))
        return fail(p, rcIllegalData);
    return withWrite(p, reg, registers, bytes, registers == 1 && settings.optimalUseFunction,
                     QModbusPdu::WriteSingleRegister, bytes, QModbusPdu::WriteMultipleRegisters);
}

TaskPlan planBitRead(TaskPlan p, const QVariantList& t, const MasterSettings&) {
    using L = BitReadTask;
    qint32 addr = 0, count = 0;
    if (!intAt(t, L::Address, addr) || !intAt(t, L::Count, count) || !rangeFits(addr, count, 2000))
        return fail(p, rcIllegalData);
    p.bitCount = count;
    return withRequest(p, TaskPlan::Reply::Bits,
                       p.opcode == opReadHoldBins ? QModbusPdu::ReadCoils
                                                  : QModbusPdu::ReadDiscreteInputs,
                       be16(quint32(addr)) + be16(quint32(count)));
}

// Coil states packed eight to a byte, the first in the lowest bit.
QByteArray packedBits(const QVariantList& bits) {
    QByteArray packed((bits.size() + 7) / 8, '\0');
    for (qsizetype i = 0; i < bits.size(); ++i)
        if (bits[i].toBool())
            packed[i / 8] = char(quint8(packed[i / 8]) | (1 << (i % 8)));
    return packed;
}

TaskPlan planBitWrite(TaskPlan p, const QVariantList& t, const MasterSettings& settings) {
    qint32 addr = 0;
    QVariantList bits;
    if (!writeTarget(t, addr, bits) || !rangeFits(addr, bits.size(), 1968))
        return fail(p, rcIllegalData);
    const int n = int(bits.size());
    return withWrite(p, addr, n, packedBits(bits), n == 1 && settings.optimalUseFunction,
                     QModbusPdu::WriteSingleCoil, be16(bits[0].toBool() ? 0xFF00 : 0),
                     QModbusPdu::WriteMultipleCoils);
}

TaskPlan planDeviceName(TaskPlan p, const QVariantList&, const MasterSettings&) {
    return withRequest(p, TaskPlan::Reply::DeviceName, QModbusPdu::ReportServerId);
}

TaskPlan planStatus(TaskPlan p, const QVariantList&, const MasterSettings&) {
    return withRequest(p, TaskPlan::Reply::Status, QModbusPdu::ReadExceptionStatus);
}

TaskPlan planDiagnostics(TaskPlan p, const QVariantList& t, const MasterSettings&) {
    using L = DiagnosticsTask;
    qint32 sub = 0, value = 0;
    if (!intAt(t, L::SubFunction, sub) || !intAt(t, L::Value, value) || sub < 0 || sub > 0xFFFF)
        return fail(p, rcIllegalData);
    return withRequest(p, TaskPlan::Reply::Diagnostics, QModbusPdu::Diagnostics,
                       be16(quint32(sub)) + be16(quint32(value)));
}

TaskPlan planIndexArch(TaskPlan p, const QVariantList& t, const MasterSettings&) {
    using L = IndexArchTask;
    qint32 arch = 0, count = 0, index = 0;
    if (!intAt(t, L::Archive, arch) || !intAt(t, L::Count, count) || !intAt(t, L::Index, index))
        return fail(p, rcIllegalData);
    if (arch < 0 || arch > 0xFFFF || count < 0 || count > 0xFFFF || index < 0 || index > 0xFFFFFF)
        return fail(p, rcIllegalData);
    if (t.size() > L::DataType && t[L::DataType].isValid() &&
        !typeCodes(t[L::DataType], p.types, p.typesAsArray))
        return fail(p, rcBadDataType);
    for (int c : p.types)
        if (varTypeSize(c) == 0)
            return fail(p, rcBadDataType);
    p.count = qMax(1, count);
    // Archive number, record count, record index: big-endian 16, 16 and 24 bits.
    return withRequest(p, TaskPlan::Reply::Archive, kJournalFunction,
                       be16(quint32(arch)) + be16(quint32(count)) +
                           QByteArray(1, char((index >> 16) & 0xFF)) + be16(quint32(index)));
}

// The request data of an Exchange task: a byte array, or a list of byte values.
bool exchangeData(const QVariant& value, QByteArray& data) {
    if (value.metaType().id() == QMetaType::QByteArray) {
        data = value.toByteArray();
    } else if (value.isValid()) {
        for (const QVariant& e : asItems(value)) {
            bool ok = false;
            const int b = e.toInt(&ok);
            if (!ok || b < 0 || b > 255)
                return false;
            data.append(char(b));
        }
    }
    return data.size() <= 252;
}

TaskPlan planExchange(TaskPlan p, const QVariantList& t, const MasterSettings&) {
    using L = ExchangeTask;
    qint32 addr = 0, fn = 0;
    if (!intAt(t, L::Address, addr) || !intAt(t, L::Function, fn))
        return fail(p, rcIllegalData);
    p.address = addr;
    if (addr < 0 || addr > 247)
        return fail(p, rcBadAddress);
    if (fn < 1 || fn > 127)
        return fail(p, rcBadFunction);
    p.function = fn;
    QByteArray data;
    if (!exchangeData(t.value(L::Value), data))
        return fail(p, rcIllegalData);
    return withRequest(p, TaskPlan::Reply::Raw, fn, data);
}

// Opcodes the server does not execute; among them the archive reads by time, since the journal
// protocol addresses records by index only.
TaskPlan planUnsupported(TaskPlan p, const QVariantList&, const MasterSettings&) {
    return fail(p, rcBadFunction);
}

using Planner = TaskPlan (*)(TaskPlan, const QVariantList&, const MasterSettings&);

// The planner of each opcode, in opcode order.
constexpr Planner kPlanners[] = {
    planExchange,      // opExchange
    planDeviceName,    // opGetDeviceName
    planRegisterRead,  // opReadHoldRegs
    planRegisterWrite, // opWriteHoldRegs
    planRegisterRead,  // opReadInputRegs
    planBitRead,       // opReadHoldBins
    planBitWrite,      // opWriteHoldBins
    planBitRead,       // opReadInputBins
    planUnsupported,   // opReadTimeArch
    planIndexArch,     // opReadIndexArch
    planStatus,        // opReadStatus
    planDiagnostics,   // opDiagnostics
    planUnsupported,   // opReadTimeArchEx
};
static_assert(std::size(kPlanners) == opReadTimeArchEx + 1);

// ---- decoding, one function a reply kind ----

// The reply starts with a byte count that covers the rest of it.
bool byteCountMatches(const QByteArray& data) {
    return !data.isEmpty() && quint8(data[0]) == data.size() - 1;
}

TaskOutcome mismatch() {
    TaskOutcome out;
    out.result = rcLengthMismatch;
    return out;
}

// Texts are cp1251 with trailing zero bytes dropped.
QString replyText(QByteArray bytes) {
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    return platform::fromCp1251(bytes);
}

// `plan.count` items of the plan's value types after the byte count. wordAligned: each value
// takes whole registers (a byte sits low). A text takes the rest of the reply.
TaskOutcome decodeItems(const TaskPlan& plan, const QByteArray& data, bool wordAligned) {
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    QVariantList items;
    int pos = 1;
    for (int i = 0; i < plan.count; ++i) {
        QVariantList fields;
        for (int code : plan.types) {
            const int size = varTypeSize(code);
            if (size < 0) {
                fields.append(replyText(data.mid(pos)));
                pos = int(data.size());
                continue;
            }
            const int taken = wordAligned ? (size + 1) / 2 * 2 : size;
            if (pos + taken > data.size())
                return mismatch();
            fields.append(valueOf(code, bytes + pos + (taken - size)));
            pos += taken;
        }
        items.append(plan.typesAsArray ? QVariant(fields) : fields.first());
    }
    TaskOutcome out;
    out.value = plan.count == 1 ? items.first() : QVariant(items);
    return out;
}

QVariantList byteList(QByteArrayView bytes) {
    QVariantList list;
    for (char c : bytes)
        list.append(QVariant::fromValue(quint8(c)));
    return list;
}

TaskOutcome decodeRegisters(const TaskPlan& plan, const QByteArray& data) {
    if (!byteCountMatches(data))
        return mismatch();
    return decodeItems(plan, data, plan.adjustToWord);
}

TaskOutcome decodeBits(const TaskPlan& plan, const QByteArray& data) {
    if (!byteCountMatches(data) || data.size() - 1 < (plan.bitCount + 7) / 8)
        return mismatch();
    QVariantList bits;
    for (int i = 0; i < plan.bitCount; ++i)
        bits.append(bool(quint8(data[1 + i / 8]) & (1 << (i % 8))));
    TaskOutcome out;
    out.value = plan.bitCount == 1 ? bits.first() : QVariant(bits);
    return out;
}

TaskOutcome decodeRaw(const TaskPlan&, const QByteArray& data) {
    TaskOutcome out;
    out.value = byteList(data);
    return out;
}

// Byte count, server identifier, run indicator, then the device's own data: its name.
TaskOutcome decodeDeviceName(const TaskPlan&, const QByteArray& data) {
    if (data.size() < 3 || !byteCountMatches(data))
        return mismatch();
    TaskOutcome out;
    out.value = replyText(data.mid(3));
    return out;
}

TaskOutcome decodeStatus(const TaskPlan&, const QByteArray& data) {
    if (data.size() != 1)
        return mismatch();
    TaskOutcome out;
    out.value = QVariant::fromValue(quint8(data[0]));
    return out;
}

TaskOutcome decodeDiagnostics(const TaskPlan&, const QByteArray& data) {
    if (data.size() < 4)
        return mismatch();
    TaskOutcome out;
    out.value = QVariant::fromValue(
        quint16(bigEndian(reinterpret_cast<const uchar*>(data.constData()) + 2, 2)));
    return out;
}

// Without value types the record's bytes as they came.
TaskOutcome decodeArchive(const TaskPlan& plan, const QByteArray& data) {
    if (!byteCountMatches(data))
        return mismatch();
    if (!plan.types.isEmpty())
        return decodeItems(plan, data, false);
    TaskOutcome out;
    out.value = byteList(QByteArrayView(data).sliced(1));
    return out;
}

TaskOutcome decodeWritten(const TaskPlan&, const QByteArray&) {
    return {};
}

using Decoder = TaskOutcome (*)(const TaskPlan&, const QByteArray&);

// The decoder of each reply kind, in the order of TaskPlan::Reply.
constexpr Decoder kDecoders[] = {decodeRegisters,  decodeBits,   decodeRaw,
                                 decodeDeviceName, decodeStatus, decodeDiagnostics,
                                 decodeArchive,    decodeWritten};
static_assert(std::size(kDecoders) == std::size_t(TaskPlan::Reply::Written) + 1);

} // namespace

TaskPlan planTask(const QVariant& taskValue, const MasterSettings& settings) {
    TaskPlan p;
    p.address = settings.deviceAddress;
    const QVariantList t = taskValue.toList();
    qint32 opcode = 0;
    if (!intAt(t, TaskHead::Opcode, opcode) || !intAt(t, TaskHead::QID, p.qid))
        return fail(p, rcIllegalData);
    p.opcode = quint8(opcode);
    if (opcode < 0 || opcode > 255)
        return fail(p, rcBadFunction);
    if (p.address < 0 || p.address > 247)
        return fail(p, rcBadAddress);
    if (p.opcode >= std::size(kPlanners))
        return fail(p, rcBadFunction);
    return kPlanners[p.opcode](p, t, settings);
}

TaskOutcome decodeReply(const TaskPlan& plan, const QModbusResponse& reply) {
    return kDecoders[std::size_t(plan.reply)](plan, reply.data());
}

qint32 resultForError(QModbusDevice::Error error, int exceptionCode) {
    switch (error) {
    case QModbusDevice::NoError:
        return rcOk;
    case QModbusDevice::TimeoutError:
        return rcNoAnswer;
    case QModbusDevice::ProtocolError:
        return resultForException(exceptionCode);
    case QModbusDevice::ReplyAbortedError:
    case QModbusDevice::ConnectionError:
    case QModbusDevice::WriteError:
    case QModbusDevice::ReadError:
        return rcChannelClosed;
    case QModbusDevice::InvalidResponseError:
        return rcLengthMismatch;
    default:
        return rcUnknown;
    }
}

QVariantList answerArray(const TaskPlan& plan, const TaskOutcome& outcome) {
    QVariantList a(Answer::Size);
    a[Answer::Opcode] = QVariant::fromValue(plan.opcode);
    a[Answer::QID] = QVariant::fromValue(plan.qid);
    a[Answer::Address] = QVariant::fromValue(plan.address);
    a[Answer::Function] = QVariant::fromValue(plan.function);
    a[Answer::Value] = outcome.value;
    a[Answer::Result] = QVariant::fromValue(outcome.result);
    return a;
}

} // namespace server
