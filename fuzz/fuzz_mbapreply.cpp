// SPDX-License-Identifier: MIT
// Any byte stream a network gateway sends, in any chunks, taken as the answer to a Modbus TCP
// request (transaction, unit, function from the first four bytes): the parser must never read
// past what arrived, never grow the buffer, and hand back only a frame of the request's
// transaction and unit with the request's function; the line trace's description of the same
// bytes stays within them.
#include "accesslib/frames/mbapframe.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

quint16 be16(const QByteArray& b, qsizetype at) {
    return quint16((quint8(b[at]) << 8) | quint8(b[at + 1]));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5 || size > 4096)
        return 0;
    ombrel::registerJournalFunction();
    const auto transaction = quint16((data[0] << 8) | data[1]);
    const quint8 unit = data[2];
    const quint8 fc = data[3] & 0x7F;
    const int chunk = data[4] == 0 ? 4096 : data[4] % 32 + 1;
    const QByteArray stream(reinterpret_cast<const char*>(data + 5), qsizetype(size - 5));

    const ombrel::FrameDescription d = ombrel::describeMbapReceived(stream, transaction);
    check(d.offset >= 0 && d.offset <= stream.size());
    check(d.frameAddress < 0 || d.offset + ombrel::kMbapHeaderSize <= stream.size());

    // The bytes arrive chunk by chunk; after each the master takes what it can, as it does
    // between two reads of the socket, and drops a taken answer before the next request.
    using State = ombrel::ReplyScan::State;
    QByteArray rx;
    for (qsizetype at = 0; at < stream.size(); at += chunk) {
        rx.append(stream.mid(at, chunk));
        for (;;) {
            const qsizetype before = rx.size();
            const QByteArray held = rx;
            const ombrel::MbapTake take = ombrel::takeMbapReply(rx, transaction, unit, fc);
            check(rx.size() <= before && take.stale >= 0);
            // What is left is always the tail of what was held: nothing is made up or reordered.
            check(held.endsWith(rx));
            if (take.scan.state != State::Found)
                break;
            const qsizetype end = take.scan.end;
            check(end >= ombrel::kMbapHeaderSize + 1 && end <= rx.size());
            check(be16(rx, 0) == transaction && quint8(rx[6]) == unit && be16(rx, 2) == 0);
            check(be16(rx, 4) == end - (ombrel::kMbapHeaderSize - 1));
            check(take.scan.pdu.functionCode() == fc);
            check(take.scan.pdu.data() ==
                  rx.mid(ombrel::kMbapHeaderSize + 1, end - ombrel::kMbapHeaderSize - 1));
            rx.remove(0, end);
        }
    }
    return 0;
}
