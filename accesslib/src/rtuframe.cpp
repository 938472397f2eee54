#include "rtuframe.h"

#include "comm/ipc/resultcodes.h"

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

ReplyScan scanReply(QByteArrayView buffer, quint8 address, quint8 fc) {
    ReplyScan result;
    const qsizetype n = buffer.size();
    for (qsizetype off = 0; off + 1 < n; ++off) {
        const auto a = static_cast<quint8>(buffer[off]);
        const auto f = static_cast<quint8>(buffer[off + 1]);
        if (a != address || (f & 0x7F) != fc)
            continue;
        const int size = replyDataSize(f, buffer.sliced(off + 2));
        if (size < 0) {
            result.state = std::max(result.state, ReplyScan::State::Incomplete);
            continue;
        }
        const qsizetype len = 2 + size + 2;
        if (off + len > n) {
            result.state = std::max(result.state, ReplyScan::State::Incomplete);
            continue;
        }
        const quint16 crc = crc16(buffer.sliced(off, len - 2));
        const auto lo = static_cast<quint8>(buffer[off + len - 2]);
        const auto hi = static_cast<quint8>(buffer[off + len - 1]);
        if (lo != (crc & 0xFF) || hi != (crc >> 8)) {
            result.state = std::max(result.state, ReplyScan::State::Corrupt);
            continue;
        }
        result.state = ReplyScan::State::Found;
        result.pdu = QModbusResponse(static_cast<QModbusPdu::FunctionCode>(f),
                                     buffer.sliced(off + 2, size).toByteArray());
        result.end = off + len;
        return result;
    }
    return result;
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
