#include "mbapframe.h"

namespace ombrel {
namespace {

quint16 be16(const QByteArray& b, qsizetype at) {
    return quint16((quint8(b[at]) << 8) | quint8(b[at + 1]));
}

void appendBe16(QByteArray& b, quint16 v) {
    b.append(char(v >> 8));
    b.append(char(v & 0xFF));
}

} // namespace

QByteArray buildMbap(quint16 transaction, quint8 unit, const QModbusPdu& pdu) {
    QByteArray adu;
    adu.reserve(kMbapHeaderSize + pdu.size());
    appendBe16(adu, transaction);
    appendBe16(adu, 0);
    appendBe16(adu, quint16(1 + pdu.size()));
    adu.append(char(unit));
    adu.append(char(pdu.functionCode() | (pdu.isException() ? 0x80 : 0)));
    adu.append(pdu.data());
    return adu;
}

MbapTake takeMbapReply(QByteArray& rx, quint16 transaction, quint8 unit, quint8 fc) {
    MbapTake out;
    using State = ReplyScan::State;
    for (;;) {
        if (rx.size() < kMbapHeaderSize) {
            out.scan.state = rx.isEmpty() ? State::Nothing : State::Incomplete;
            return out;
        }
        const int length = be16(rx, 4);
        if (be16(rx, 2) != 0 || length < kMbapMinLength || length > kMbapMaxLength) {
            rx.clear();
            out.scan.state = State::Corrupt;
            return out;
        }
        const qsizetype frame = kMbapHeaderSize - 1 + length;
        if (rx.size() < frame) {
            out.scan.state = State::Incomplete;
            return out;
        }
        if (be16(rx, 0) != transaction || quint8(rx[6]) != unit) {
            rx.remove(0, frame);
            ++out.stale;
            continue;
        }
        const auto f = quint8(rx[kMbapHeaderSize]);
        const QByteArray data = rx.mid(kMbapHeaderSize + 1, length - 2);
        if ((f & 0x7F) != fc || replyDataSize(f, data) != data.size()) {
            rx.remove(0, frame);
            out.scan.state = State::Corrupt;
            return out;
        }
        out.scan.state = State::Found;
        out.scan.pdu = QModbusResponse(QModbusPdu::FunctionCode(f), data);
        out.scan.end = frame;
        return out;
    }
}

} // namespace ombrel
