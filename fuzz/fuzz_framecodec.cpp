// SPDX-License-Identifier: MIT
// Any bytes from an exchange-server client, in any chunks: the frame reader must give messages,
// ask for more or call the stream broken, never crash; every message it gives travels again
// unchanged.
#include "comm/ipc/framecodec.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 1 << 20)
        return 0;
    const int chunk = data[0] == 0 ? int(size) : data[0];
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    comm::ipc::FrameReader reader;
    for (qsizetype at = 0; at < bytes.size(); at += chunk) {
        reader.append(bytes.mid(at, chunk));
        for (;;) {
            QVariantList message;
            const auto status = reader.next(message);
            if (status == comm::ipc::FrameReader::Status::NeedMore)
                break;
            if (status == comm::ipc::FrameReader::Status::Broken)
                return 0;
            // A message that was accepted can be sent on, and after one trip (which may give a
            // date its canonical time spec, e.g. offset 0 as UTC) it travels unchanged.
            const QByteArray once = comm::ipc::encodeFrame(message);
            QVariantList back;
            if (!comm::ipc::decodePayload(once.mid(4), back))
                std::abort();
            const QByteArray twice = comm::ipc::encodeFrame(back);
            QVariantList again;
            if (!comm::ipc::decodePayload(twice.mid(4), again) ||
                comm::ipc::encodeFrame(again) != twice)
                std::abort();
        }
    }
    // The payload decoder on its own, on the bytes as a payload.
    QVariantList message;
    (void)comm::ipc::decodePayload(bytes, message);
    return 0;
}
