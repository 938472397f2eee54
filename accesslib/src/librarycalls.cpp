// SPDX-License-Identifier: MIT
#include "ombrel/librarycalls.h"

#include "accesslib/frames/rtuframe.h"
#include "comm/ipc/datatypes.h"
#include "platform/endpoint.h"
#include "platform/portlist.h"

#include <algorithm>
#include <cstring>

namespace ombrel {

bool validAddress(int32_t a) {
    return a >= 1 && a <= 247;
}

QString connectPort(RtuAndTcpMaster& master, int32_t port, int32_t speed, int32_t linkType) {
    master.close();
    if (port < 1 || port > 255)
        return QStringLiteral("Недопустимый номер порта %1.").arg(port);
    if (speed <= 0)
        return QStringLiteral("Недопустимая скорость %1.").arg(speed);
    const QString path = platform::PortList::devicePathFor(port);
    if (path.isEmpty())
        return QStringLiteral("Порта COM%1 нет ни среди портов системы, ни среди "
                              "сопоставлений (main.ini [Ports], JOURNAL_PORTS).")
            .arg(port);
    if (master.open(path, speed, (linkType & 0xFF) == OMBREL_LINK_RS485))
        return {};
    return master.openError();
}

void setTimeouts(RtuAndTcpMaster& master, int32_t answerMs, int32_t charMs) {
    master.setTimeouts(answerMs, charMs);
    master.setConnectTimeout(std::max(platform::kDefaultConnectLimitMs, master.answerTimeoutMs()));
}

int32_t readRegisters(RtuAndTcpMaster& master, QModbusPdu::FunctionCode fc, int32_t devAddr,
                      int32_t regAddr, int32_t count, int32_t type, uint8_t* out) {
    if (!validAddress(devAddr))
        return rcIllegalAddress;
    const bool wide = type == vtUI4 || type == vtI4 || type == vtR4;
    const int registers = wide ? count * 2 : count;
    if (!out || count < 1 || registers > 125 || regAddr < 0 || regAddr + registers > 0x10000 ||
        (wide ? count * 4 : count * 2) > kRegisterBufferSize)
        return rcIllegalData;

    const QModbusRequest req(fc, quint16(regAddr), quint16(registers));
    QModbusResponse reply;
    const int rc = master.exchange(quint8(devAddr), req, &reply);
    if (rc != rcOk)
        return rc;
    const QByteArray d = reply.data();
    if (d.size() != 1 + 2 * registers || quint8(d[0]) != 2 * registers)
        return rcLengthMismatch;
    auto reg = [&](int i) { return quint16((quint8(d[1 + 2 * i]) << 8) | quint8(d[2 + 2 * i])); };
    if (wide) {
        for (int i = 0; i < count; ++i) {
            const quint32 v = (quint32(reg(2 * i)) << 16) | reg(2 * i + 1);
            for (int b = 0; b < 4; ++b)
                out[4 * i + b] = uint8_t(v >> (8 * b));
        }
    } else {
        for (int i = 0; i < count; ++i) {
            out[2 * i] = uint8_t(reg(i) & 0xFF);
            out[2 * i + 1] = uint8_t(reg(i) >> 8);
        }
    }
    return rcOk;
}

int32_t deviceName(RtuAndTcpMaster& master, int32_t devAddr, uint8_t* buffer, int32_t size) {
    if (!validAddress(devAddr))
        return rcIllegalAddress;
    if (!buffer || size < 0 || size > 255)
        return rcIllegalData;
    QModbusResponse reply;
    const int rc =
        master.exchange(quint8(devAddr), QModbusRequest(QModbusPdu::ReportServerId), &reply);
    if (rc != rcOk)
        return rc;
    // Reply data: byte count, server identifier, run indicator, then the device's own data,
    // which is its name.
    const QByteArray d = reply.data();
    if (d.size() < 3 || quint8(d[0]) != d.size() - 1)
        return rcLengthMismatch;
    const QByteArray name = d.mid(3);
    if (name.size() > size)
        return rcLengthMismatch;
    std::memset(buffer, 0, size_t(size) + 1);
    buffer[0] = uint8_t(name.size());
    std::memcpy(buffer + 1, name.constData(), size_t(name.size()));
    return rcOk;
}

int32_t anyFunction(RtuAndTcpMaster& master, int32_t devAddr, int32_t funNumber, int32_t size,
                    uint8_t* buffer) {
    if (!validAddress(devAddr))
        return rcIllegalAddress;
    if (funNumber < 1 || funNumber > 127)
        return rcBadFunction;
    if (!buffer || size < 0 || size > 252)
        return rcIllegalData;
    registerJournalFunction();
    const auto fc = static_cast<QModbusPdu::FunctionCode>(funNumber);
    // Only functions whose reply length can be told from the reply itself: the end of an
    // answer is found by its length, never by waiting.
    if (replyDataSize(quint8(funNumber), QByteArray(kReplyBufferSize, '\0')) < 0)
        return rcBadFunction;
    const QModbusRequest req(fc, QByteArray(reinterpret_cast<const char*>(buffer), size));
    QModbusResponse reply;
    const int rc = master.exchange(quint8(devAddr), req, &reply);
    if (rc != rcOk)
        return rc;
    return unpackReply(funNumber, reply.data(), buffer);
}

int32_t unpackReply(int32_t fn, const QByteArray& d, uint8_t* buffer) {
    if (fn == kJournalFunction &&
        (d.isEmpty() || quint8(d[0]) > kMaxJournalData || quint8(d[0]) != d.size() - 1))
        return rcLengthMismatch;
    if (1 + d.size() > kReplyBufferSize)
        return rcLengthMismatch;
    std::memset(buffer, 0, kReplyBufferSize);
    buffer[0] = uint8_t(fn);
    std::memcpy(buffer + 1, d.constData(), size_t(d.size()));
    return rcOk;
}

} // namespace ombrel
