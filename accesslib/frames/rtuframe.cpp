// SPDX-License-Identifier: MIT
#include "accesslib/frames/rtuframe.h"

#include "comm/ipc/resultcodes.h"
#include "ombreldll.h"

#include <algorithm>
#include <mutex>

namespace ombrel {

quint16 crc16(QByteArrayView data) {
    quint16 crc = 0xFFFF;
    for (const char c : data) {
        crc ^= static_cast<quint8>(c);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<quint16>((crc >> 1) ^ 0xA001)
                            : static_cast<quint16>(crc >> 1);
    }
    return crc;
}

QByteArray buildAdu(quint8 address, const QModbusPdu& pdu) {
    QByteArray adu;
    adu.reserve(pdu.size() + 3);
    adu.append(static_cast<char>(address));
    // Qt keeps the exception bit apart from the function code.
    adu.append(static_cast<char>(pdu.functionCode() | (pdu.isException() ? 0x80 : 0)));
    adu.append(pdu.data());
    const quint16 crc = crc16(adu);
    adu.append(static_cast<char>(crc & 0xFF));
    adu.append(static_cast<char>(crc >> 8));
    return adu;
}

namespace {

int journalRequestSize(const QModbusRequest&) {
    return 7;
}

int journalResponseSize(const QModbusResponse& pdu) {
    if (pdu.isException())
        return 1;
    if (pdu.dataSize() < 1)
        return -1;
    return 1 + static_cast<quint8>(pdu.data().at(0));
}

} // namespace

void registerJournalFunction() {
    // Qt's calculator table is not locked: register once, before the first frame, so that a
    // server thread elsewhere in the process never reads it while it changes.
    static std::once_flag once;
    std::call_once(once, [] {
        const auto fc = static_cast<QModbusPdu::FunctionCode>(kJournalFunction);
        QModbusRequest::registerDataSizeCalculator(fc, &journalRequestSize);
        QModbusResponse::registerDataSizeCalculator(fc, &journalResponseSize);
    });
}

int replyDataSize(quint8 fc, QByteArrayView data) {
    if (fc & 0x80)
        return 1;
    const QModbusResponse pdu(static_cast<QModbusPdu::FunctionCode>(fc), data.toByteArray());
    // Qt answers with the minimum size while a byte count is still missing; only trust it once
    // the data that holds the count is there.
    if (data.isEmpty() && QModbusResponse::minimumDataSize(pdu) > 0)
        return -1;
    return QModbusResponse::calculateDataSize(pdu);
}

namespace {

// The most data bytes a Modbus PDU holds.
constexpr qsizetype kMaxPduData = 252;

// The frame that would start at `off` if its address and function are right: Incomplete while
// its length cannot be told or its bytes are not all there, Corrupt with a wrong CRC, Found;
// `len` is its length once told.
ReplyScan::State frameAt(QByteArrayView buffer, qsizetype off, qsizetype* len) {
    const auto f = static_cast<quint8>(buffer[off + 1]);
    // The length is told by the frame's own first bytes. Only a PDU's worth is handed to Qt: a
    // flood after the frame (Qt counts a PDU's size in 16 bits) must not hide it.
    const QByteArrayView data = buffer.sliced(off + 2);
    const int size = replyDataSize(f, data.first(std::min<qsizetype>(data.size(), kMaxPduData)));
    if (size < 0)
        return ReplyScan::State::Incomplete;
    *len = 2 + size + 2;
    if (off + *len > buffer.size())
        return ReplyScan::State::Incomplete;
    const quint16 crc = crc16(buffer.sliced(off, *len - 2));
    const auto lo = static_cast<quint8>(buffer[off + *len - 2]);
    const auto hi = static_cast<quint8>(buffer[off + *len - 1]);
    return lo == (crc & 0xFF) && hi == (crc >> 8) ? ReplyScan::State::Found
                                                  : ReplyScan::State::Corrupt;
}

bool startsFrame(QByteArrayView buffer, qsizetype off, quint8 address, quint8 fc) {
    return static_cast<quint8>(buffer[off]) == address &&
           (static_cast<quint8>(buffer[off + 1]) & 0x7F) == fc;
}

} // namespace

ReplyScan scanReply(QByteArrayView buffer, quint8 address, quint8 fc) {
    ReplyScan result;
    for (qsizetype off = 0; off + 1 < buffer.size(); ++off) {
        if (!startsFrame(buffer, off, address, fc))
            continue;
        qsizetype len = 0;
        const ReplyScan::State state = frameAt(buffer, off, &len);
        if (state != ReplyScan::State::Found) {
            result.state = std::max(result.state, state);
            continue;
        }
        const auto f = static_cast<quint8>(buffer[off + 1]);
        result.state = ReplyScan::State::Found;
        result.pdu = QModbusResponse(static_cast<QModbusPdu::FunctionCode>(f),
                                     buffer.sliced(off + 2, len - 4).toByteArray());
        result.end = off + len;
        return result;
    }
    return result;
}

FrameDescription describeReceived(QByteArrayView bytes, QByteArrayView request, quint8 address,
                                  quint8 fc) {
    FrameDescription d;
    if (!request.isEmpty() && bytes.startsWith(request)) {
        d.flags |= OMBREL_FRAME_ECHO;
        bytes = bytes.sliced(request.size());
    }
    d.offset = int(bytes.size());
    // The answer of the addressed server first, then a valid frame of another, then the first
    // broken frame of the addressed server.
    qsizetype found = -1, broken = -1, len = 0;
    ReplyScan::State brokenState = ReplyScan::State::Nothing;
    for (qsizetype off = 0; off + 1 < bytes.size() && found < 0; ++off) {
        if (startsFrame(bytes, off, address, fc)) {
            const ReplyScan::State state = frameAt(bytes, off, &len);
            if (state == ReplyScan::State::Found)
                found = off;
            else if (broken < 0) {
                broken = off;
                brokenState = state;
            }
        }
    }
    for (qsizetype off = 0; off + 1 < bytes.size() && found < 0; ++off) {
        const auto a = static_cast<quint8>(bytes[off]);
        if (a >= 1 && a <= 247 && startsFrame(bytes, off, a, fc) &&
            frameAt(bytes, off, &len) == ReplyScan::State::Found)
            found = off;
    }
    const qsizetype at = found >= 0 ? found : broken;
    if (at < 0)
        return d;
    const auto f = static_cast<quint8>(bytes[at + 1]);
    d.offset = int(at);
    d.frameAddress = static_cast<quint8>(bytes[at]);
    d.function = f & 0x7F;
    if (found >= 0) {
        d.flags |= OMBREL_FRAME_COMPLETE | OMBREL_FRAME_CRC_OK;
        if (f & 0x80) {
            d.flags |= OMBREL_FRAME_EXCEPTION;
            d.exception = static_cast<quint8>(bytes[at + 2]);
        }
    } else if (brokenState == ReplyScan::State::Corrupt) {
        d.flags |= OMBREL_FRAME_COMPLETE;
    }
    return d;
}

int exceptionResult(int exceptionCode) {
    return comm::ipc::resultForException(exceptionCode);
}

std::int64_t interFrameGapUs(int baud) {
    if (baud <= 0)
        return 0;
    if (baud > 19200)
        return 1750;
    return (35LL * 1000000 + baud - 1) / baud;
}

} // namespace ombrel
