// SPDX-License-Identifier: MIT
#include "accesslib/frames/mbapframe.h"

#include "ombreldll.h"

namespace ombrel {
namespace {

quint16 be16(QByteArrayView b, qsizetype at) {
    return quint16((quint8(b[at]) << 8) | quint8(b[at + 1]));
}

// A header a Modbus TCP peer can send: protocol id 0 and a length of 2..254.
bool validHeader(QByteArrayView b, qsizetype at) {
    const int length = be16(b, at + 4);
    return be16(b, at + 2) == 0 && length >= kMbapMinLength && length <= kMbapMaxLength;
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

MbapFrame peekMbapFrame(QByteArrayView rx) {
    MbapFrame f;
    if (rx.size() < kMbapHeaderSize) {
        f.state = rx.isEmpty() ? MbapFrame::State::Nothing : MbapFrame::State::Incomplete;
        return f;
    }
    if (!validHeader(rx, 0)) {
        f.state = MbapFrame::State::Corrupt;
        return f;
    }
    f.size = kMbapHeaderSize - 1 + be16(rx, 4);
    if (rx.size() < f.size) {
        f.state = MbapFrame::State::Incomplete;
        return f;
    }
    f.state = MbapFrame::State::Whole;
    f.transaction = be16(rx, 0);
    f.unit = quint8(rx[6]);
    return f;
}

std::optional<QModbusResponse> mbapAnswer(QByteArrayView frame, quint8 fc) {
    const auto f = quint8(frame[kMbapHeaderSize]);
    const QByteArray data = frame.sliced(kMbapHeaderSize + 1).toByteArray();
    if ((f & 0x7F) != fc || replyDataSize(f, data) != data.size())
        return std::nullopt;
    return QModbusResponse(QModbusPdu::FunctionCode(f), data);
}

MbapTake takeMbapReply(QByteArray& rx, quint16 transaction, quint8 unit, quint8 fc) {
    MbapTake out;
    using State = ReplyScan::State;
    for (;;) {
        const MbapFrame frame = peekMbapFrame(rx);
        switch (frame.state) {
        case MbapFrame::State::Nothing:
            out.scan.state = State::Nothing;
            return out;
        case MbapFrame::State::Incomplete:
            out.scan.state = State::Incomplete;
            return out;
        case MbapFrame::State::Corrupt:
            rx.clear();
            out.scan.state = State::Corrupt;
            return out;
        case MbapFrame::State::Whole:
            break;
        }
        if (frame.transaction != transaction || frame.unit != unit) {
            rx.remove(0, frame.size);
            ++out.stale;
            continue;
        }
        const auto answer = mbapAnswer(QByteArrayView(rx).first(frame.size), fc);
        if (!answer) {
            rx.remove(0, frame.size);
            out.scan.state = State::Corrupt;
            return out;
        }
        out.scan.state = State::Found;
        out.scan.pdu = *answer;
        out.scan.end = frame.size;
        return out;
    }
}

FrameDescription describeMbapReceived(QByteArrayView bytes, quint16 transaction) {
    FrameDescription d;
    d.offset = int(bytes.size());
    // The frame of the request's transaction, else the first one (whole or begun).
    qsizetype at = -1;
    bool whole = false;
    for (qsizetype off = 0; off + kMbapHeaderSize <= bytes.size();) {
        if (!validHeader(bytes, off))
            break; // not Modbus TCP from here on
        const qsizetype end = off + kMbapHeaderSize - 1 + be16(bytes, off + 4);
        if (at < 0 || be16(bytes, off) == transaction) {
            at = off;
            whole = end <= bytes.size();
        }
        if (be16(bytes, off) == transaction || end > bytes.size())
            break;
        off = end;
    }
    if (at < 0)
        return d;
    d.offset = int(at);
    d.frameAddress = quint8(bytes[at + 6]);
    if (be16(bytes, at) != transaction)
        d.flags |= OMBREL_FRAME_OTHER_TRANSACTION;
    if (!whole)
        return d;
    // A whole frame has no CRC of its own: the stream's checks stand for it.
    const auto f = quint8(bytes[at + kMbapHeaderSize]);
    d.function = f & 0x7F;
    d.flags |= OMBREL_FRAME_COMPLETE | OMBREL_FRAME_CRC_OK;
    if ((f & 0x80) && be16(bytes, at + 4) >= 3) {
        d.flags |= OMBREL_FRAME_EXCEPTION;
        d.exception = quint8(bytes[at + kMbapHeaderSize + 1]);
    }
    return d;
}

} // namespace ombrel
