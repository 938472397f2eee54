#include "server/modbustask.h"

#include "platform/codepage.h"
#include "server/modbusext.h"

#include <QtEndian>

#include <cstring>

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
    case vtR4: {
        const quint32 bits = quint32(bigEndian(p, 4));
        float f;
        std::memcpy(&f, &bits, 4);
        return QVariant::fromValue(f);
    }
    case vtR8: {
        const quint64 bits = bigEndian(p, 8);
        double d;
        std::memcpy(&d, &bits, 8);
        return QVariant::fromValue(d);
    }
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

QByteArray be16(quint32 v) {
    QByteArray b(2, '\0');
    qToBigEndian<quint16>(quint16(v), b.data());
    return b;
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
    case QMetaType::UInt: {
        QByteArray b(4, '\0');
        qToBigEndian<quint32>(v.toUInt(), b.data());
        out += b;
        return true;
    }
    case QMetaType::Float: {
        const float f = v.toFloat();
        quint32 bits;
        std::memcpy(&bits, &f, 4);
        QByteArray b(4, '\0');
        qToBigEndian<quint32>(bits, b.data());
        out += b;
        return true;
    }
    case QMetaType::Double: {
        const double d = v.toDouble();
        quint64 bits;
        std::memcpy(&bits, &d, 8);
        QByteArray b(8, '\0');
        qToBigEndian<quint64>(bits, b.data());
        out += b;
        return true;
    }
    case QMetaType::LongLong:
    case QMetaType::ULongLong: {
        QByteArray b(8, '\0');
        qToBigEndian<quint64>(v.toULongLong(), b.data());
        out += b;
        return true;
    }
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

    switch (p.opcode) {
    case opReadHoldRegs:
    case opReadInputRegs: {
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
        if (reg < 0 || reg > 0xFFFF || count < 1 || registers > 125 || reg + registers > 0x10000)
            return fail(p, rcIllegalData);
        p.count = count;
        p.adjustToWord = settings.adjustToWord;
        p.function = p.opcode == opReadHoldRegs ? QModbusPdu::ReadHoldingRegisters
                                                : QModbusPdu::ReadInputRegisters;
        p.reply = TaskPlan::Reply::Registers;
        p.request =
            QModbusRequest(QModbusPdu::FunctionCode(p.function), quint16(reg), quint16(registers));
        return p;
    }
    case opWriteHoldRegs: {
        using L = WriteTask;
        qint32 reg = 0;
        if (!intAt(t, L::Address, reg) || t.size() < L::Size)
            return fail(p, rcIllegalData);
        QByteArray bytes;
        for (const QVariant& v : asItems(t[L::Value]))
            if (!registerBytes(v, bytes))
                return fail(p, rcBadDataType);
        const int registers = int(bytes.size() / 2);
        if (reg < 0 || reg > 0xFFFF || registers < 1 || registers > 123 ||
            reg + registers > 0x10000)
            return fail(p, rcIllegalData);
        p.reply = TaskPlan::Reply::Written;
        if (registers == 1 && settings.optimalUseFunction) {
            p.function = QModbusPdu::WriteSingleRegister;
            p.request = QModbusRequest(QModbusPdu::WriteSingleRegister, be16(quint32(reg)) + bytes);
        } else {
            p.function = QModbusPdu::WriteMultipleRegisters;
            p.request = QModbusRequest(QModbusPdu::WriteMultipleRegisters,
                                       be16(quint32(reg)) + be16(quint32(registers)) +
                                           QByteArray(1, char(bytes.size())) + bytes);
        }
        return p;
    }
    case opReadHoldBins:
    case opReadInputBins: {
        using L = BitReadTask;
        qint32 addr = 0, count = 0;
        if (!intAt(t, L::Address, addr) || !intAt(t, L::Count, count))
            return fail(p, rcIllegalData);
        if (addr < 0 || addr > 0xFFFF || count < 1 || count > 2000 || addr + count > 0x10000)
            return fail(p, rcIllegalData);
        p.function =
            p.opcode == opReadHoldBins ? QModbusPdu::ReadCoils : QModbusPdu::ReadDiscreteInputs;
        p.reply = TaskPlan::Reply::Bits;
        p.bitCount = count;
        p.request =
            QModbusRequest(QModbusPdu::FunctionCode(p.function), quint16(addr), quint16(count));
        return p;
    }
    case opWriteHoldBins: {
        using L = WriteTask;
        qint32 addr = 0;
        if (!intAt(t, L::Address, addr) || t.size() < L::Size)
            return fail(p, rcIllegalData);
        const QVariantList bits = asItems(t[L::Value]);
        const int n = int(bits.size());
        if (addr < 0 || addr > 0xFFFF || n < 1 || n > 1968 || addr + n > 0x10000)
            return fail(p, rcIllegalData);
        p.reply = TaskPlan::Reply::Written;
        if (n == 1 && settings.optimalUseFunction) {
            p.function = QModbusPdu::WriteSingleCoil;
            p.request = QModbusRequest(QModbusPdu::WriteSingleCoil,
                                       be16(quint32(addr)) + be16(bits[0].toBool() ? 0xFF00 : 0));
        } else {
            QByteArray packed((n + 7) / 8, '\0');
            for (int i = 0; i < n; ++i)
                if (bits[i].toBool())
                    packed[i / 8] = char(quint8(packed[i / 8]) | (1 << (i % 8)));
            p.function = QModbusPdu::WriteMultipleCoils;
            p.request = QModbusRequest(QModbusPdu::WriteMultipleCoils,
                                       be16(quint32(addr)) + be16(quint32(n)) +
                                           QByteArray(1, char(packed.size())) + packed);
        }
        return p;
    }
    case opGetDeviceName:
        p.function = QModbusPdu::ReportServerId;
        p.reply = TaskPlan::Reply::DeviceName;
        p.request = QModbusRequest(QModbusPdu::ReportServerId);
        return p;
    case opReadStatus:
        p.function = QModbusPdu::ReadExceptionStatus;
        p.reply = TaskPlan::Reply::Status;
        p.request = QModbusRequest(QModbusPdu::ReadExceptionStatus);
        return p;
    case opDiagnostics: {
        using L = DiagnosticsTask;
        qint32 sub = 0, value = 0;
        if (!intAt(t, L::SubFunction, sub) || !intAt(t, L::Value, value) || sub < 0 || sub > 0xFFFF)
            return fail(p, rcIllegalData);
        p.function = QModbusPdu::Diagnostics;
        p.reply = TaskPlan::Reply::Diagnostics;
        p.request =
            QModbusRequest(QModbusPdu::Diagnostics, be16(quint32(sub)) + be16(quint32(value)));
        return p;
    }
    case opReadIndexArch: {
        using L = IndexArchTask;
        qint32 arch = 0, count = 0, index = 0;
        if (!intAt(t, L::Archive, arch) || !intAt(t, L::Count, count) || !intAt(t, L::Index, index))
            return fail(p, rcIllegalData);
        if (arch < 0 || arch > 0xFFFF || count < 0 || count > 0xFFFF || index < 0 ||
            index > 0xFFFFFF)
            return fail(p, rcIllegalData);
        if (t.size() > L::DataType && t[L::DataType].isValid() &&
            !typeCodes(t[L::DataType], p.types, p.typesAsArray))
            return fail(p, rcBadDataType);
        for (int c : p.types)
            if (varTypeSize(c) == 0)
                return fail(p, rcBadDataType);
        p.count = qMax(1, count);
        p.function = kJournalFunction;
        p.reply = TaskPlan::Reply::Archive;
        // Archive number, record count, record index: big-endian 16, 16 and 24 bits.
        const QByteArray data = be16(quint32(arch)) + be16(quint32(count)) +
                                QByteArray(1, char((index >> 16) & 0xFF)) + be16(quint32(index));
        p.request = QModbusRequest(QModbusPdu::FunctionCode(kJournalFunction), data);
        return p;
    }
    case opExchange: {
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
        const QVariant value = t.value(L::Value);
        if (value.metaType().id() == QMetaType::QByteArray) {
            data = value.toByteArray();
        } else if (value.isValid()) {
            for (const QVariant& e : asItems(value)) {
                bool ok = false;
                const int b = e.toInt(&ok);
                if (!ok || b < 0 || b > 255)
                    return fail(p, rcIllegalData);
                data.append(char(b));
            }
        }
        if (data.size() > 252)
            return fail(p, rcIllegalData);
        p.reply = TaskPlan::Reply::Raw;
        p.request = QModbusRequest(QModbusPdu::FunctionCode(fn), data);
        return p;
    }
    case opReadTimeArch:
    case opReadTimeArchEx:
        // The journal protocol addresses records by index only.
        return fail(p, rcBadFunction);
    default:
        return fail(p, rcBadFunction);
    }
}

TaskOutcome decodeReply(const TaskPlan& plan, const QModbusResponse& reply) {
    TaskOutcome out;
    const QByteArray data = reply.data();
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    switch (plan.reply) {
    case TaskPlan::Reply::Registers: {
        if (data.isEmpty() || quint8(data[0]) != data.size() - 1) {
            out.result = rcLengthMismatch;
            return out;
        }
        QVariantList items;
        int pos = 1;
        for (int i = 0; i < plan.count; ++i) {
            QVariantList fields;
            for (int code : plan.types) {
                const int size = varTypeSize(code);
                // With AdjustToWord every value takes whole registers; a byte sits low.
                const int taken = plan.adjustToWord ? (size + 1) / 2 * 2 : size;
                if (pos + taken > data.size()) {
                    out.result = rcLengthMismatch;
                    return out;
                }
                fields.append(valueOf(code, bytes + pos + (taken - size)));
                pos += taken;
            }
            items.append(plan.typesAsArray ? QVariant(fields) : fields.first());
        }
        out.value = plan.count == 1 ? items.first() : QVariant(items);
        return out;
    }
    case TaskPlan::Reply::Bits: {
        if (data.isEmpty() || quint8(data[0]) != data.size() - 1 ||
            data.size() - 1 < (plan.bitCount + 7) / 8) {
            out.result = rcLengthMismatch;
            return out;
        }
        QVariantList bits;
        for (int i = 0; i < plan.bitCount; ++i)
            bits.append(bool(bytes[1 + i / 8] & (1 << (i % 8))));
        out.value = plan.bitCount == 1 ? bits.first() : QVariant(bits);
        return out;
    }
    case TaskPlan::Reply::Raw: {
        QVariantList list;
        for (char c : data)
            list.append(QVariant::fromValue(quint8(c)));
        out.value = list;
        return out;
    }
    case TaskPlan::Reply::DeviceName: {
        // Byte count, server identifier, run indicator, then the device's own data: its name.
        if (data.size() < 3 || quint8(data[0]) != data.size() - 1) {
            out.result = rcLengthMismatch;
            return out;
        }
        QByteArray name = data.mid(3);
        while (name.endsWith('\0'))
            name.chop(1);
        out.value = platform::fromCp1251(name);
        return out;
    }
    case TaskPlan::Reply::Status:
        if (data.size() != 1) {
            out.result = rcLengthMismatch;
            return out;
        }
        out.value = QVariant::fromValue(quint8(bytes[0]));
        return out;
    case TaskPlan::Reply::Diagnostics:
        if (data.size() < 4) {
            out.result = rcLengthMismatch;
            return out;
        }
        out.value = QVariant::fromValue(quint16(bigEndian(bytes + 2, 2)));
        return out;
    case TaskPlan::Reply::Archive: {
        if (data.isEmpty() || quint8(data[0]) != data.size() - 1) {
            out.result = rcLengthMismatch;
            return out;
        }
        const int n = int(data.size()) - 1;
        if (plan.types.isEmpty()) {
            QVariantList raw;
            for (int i = 0; i < n; ++i)
                raw.append(QVariant::fromValue(quint8(bytes[1 + i])));
            out.value = raw;
            return out;
        }
        QVariantList records;
        int pos = 1;
        for (int r = 0; r < plan.count; ++r) {
            QVariantList fields;
            for (int code : plan.types) {
                const int size = varTypeSize(code);
                if (size < 0) { // text: the rest of the reply
                    QByteArray text = data.mid(pos);
                    while (text.endsWith('\0'))
                        text.chop(1);
                    fields.append(platform::fromCp1251(text));
                    pos = int(data.size());
                    continue;
                }
                if (pos + size > data.size()) {
                    out.result = rcLengthMismatch;
                    out.value = QVariant();
                    return out;
                }
                fields.append(valueOf(code, bytes + pos));
                pos += size;
            }
            records.append(plan.typesAsArray ? QVariant(fields) : fields.first());
        }
        out.value = plan.count == 1 ? records.first() : QVariant(records);
        return out;
    }
    case TaskPlan::Reply::Written:
        return out;
    }
    return out;
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
