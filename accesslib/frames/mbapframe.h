// SPDX-License-Identifier: MIT
#pragma once

#include "accesslib/frames/rtuframe.h"

#include <QByteArray>
#include <QModbusPdu>

#include <optional>

// Modbus TCP framing of the access library: the MBAP header (transaction id, protocol id 0, the
// length of what follows it, the unit id) and the PDU. The unit id is the instrument address
// (a gateway passes it on to its serial line).
namespace ombrel {

inline constexpr int kMbapHeaderSize = 7;
// The length field counts the unit id and the PDU: at least a function code, at most the 253
// bytes of a Modbus PDU.
inline constexpr int kMbapMinLength = 2;
inline constexpr int kMbapMaxLength = 254;

QByteArray buildMbap(quint16 transaction, quint8 unit, const QModbusPdu& pdu);

// The frame at the start of what a TCP stream delivered: none yet (Nothing), begun (Incomplete),
// a header that no Modbus TCP peer sends (Corrupt: protocol id other than 0, a length outside
// 2..254; the stream cannot be read further), or Whole with its size, transaction and unit.
struct MbapFrame {
    enum class State { Nothing, Incomplete, Corrupt, Whole };
    State state = State::Nothing;
    qsizetype size = 0;
    quint16 transaction = 0;
    quint8 unit = 0;
};
MbapFrame peekMbapFrame(QByteArrayView rx);

// The answer a whole frame holds to a request of function fc; nothing when its PDU answers
// another function or its length disagrees with its byte count.
std::optional<QModbusResponse> mbapAnswer(QByteArrayView frame, quint8 fc);

// Takes the answer to a request (transaction, unit, function) from the bytes a TCP stream
// delivered since the request went out, which the stream keeps in order:
//   - whole frames of another transaction or unit (late answers to earlier requests, another
//     instrument's) are removed from `rx` and counted in `stale`;
//   - a header that no Modbus TCP peer sends (protocol id other than 0, a length outside 2..254)
//     means the stream cannot be read further: every byte of `rx` is dropped and the state is
//     Corrupt, as is a frame of the request's transaction whose PDU is not an answer to it
//     (another function, a length that disagrees with its byte count);
//   - an answer still arriving is Incomplete (it can hold at most 261 bytes);
//   - Found: `pdu` is the answer and `end` the index just after it in `rx`.
// What is left in `rx` is the frame being taken (whole when Found) and what came after it.
struct MbapTake {
    ReplyScan scan;
    int stale = 0;
};
MbapTake takeMbapReply(QByteArray& rx, quint16 transaction, quint8 unit, quint8 fc);

// What received bytes of a Modbus TCP stream hold, for the line trace (see describeReceived):
// the frame of the request's transaction, else the first frame, whole or begun.
FrameDescription describeMbapReceived(QByteArrayView bytes, quint16 transaction);

} // namespace ombrel
