// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QModbusPdu>

#include <cstdint>

// Modbus RTU framing of the access library: the application data unit is the server address,
// the PDU (function code and data) and the CRC-16 (polynomial 0xA001, initial 0xFFFF), low byte
// first. PDU lengths come from QModbusRequest/QModbusResponse; function 65 (the instrument's
// journal record) gets its size rules from registerJournalFunction().
namespace ombrel {

inline constexpr quint8 kJournalFunction = 0x41;
// Largest data byte count of a function-65 reply: the PDU (0x41, count, data) stays within the
// 253 bytes of a Modbus PDU.
inline constexpr int kMaxJournalData = 251;

[[nodiscard]] quint16 crc16(QByteArrayView data);

// Address + PDU + CRC.
[[nodiscard]] QByteArray buildAdu(quint8 address, const QModbusPdu& pdu);

// Registers the data-size rules of function 65 with Qt (request: 7 data bytes; reply: byte
// count + data; exception: 1 byte). Registers once per process; later calls do nothing.
void registerJournalFunction();

// Data size of a reply PDU whose function byte is fc and whose data received so far is data:
// the full data size, or -1 while it cannot be told yet (the byte count has not arrived).
[[nodiscard]] int replyDataSize(quint8 fc, QByteArrayView data);

// Looks for the answer to a request (address, function) in the bytes received since the request
// was sent. Bytes that do not start a frame of that address and function (line noise, an echo,
// another server's frame) are skipped; a frame must pass its CRC to be taken.
struct ReplyScan {
    enum class State {
        Nothing,    // no byte could start the answer
        Incomplete, // an answer has started but its bytes are not all here yet
        Corrupt,    // a frame of the right length arrived but its CRC is wrong
        Found,      // pdu holds the answer
    };
    State state = State::Nothing;
    QModbusResponse pdu;
    qsizetype end = 0; // index just after the frame (Found)
};

[[nodiscard]] ReplyScan scanReply(QByteArrayView buffer, quint8 address, quint8 fc);

// What received bytes hold, for the line trace: an echo of `request` at their start, and the
// frame an answer to (address, fc) would be: the first valid frame of that address, else the
// first valid frame of another address with that function, else the first broken frame (CRC)
// or begun frame of that address. `flags` are the OMBREL_FRAME_* of the library's header
// (without "taken"); `offset` counts the bytes after the echo before the frame (all of them
// when there is no frame, `frameAddress` -1 then).
struct FrameDescription {
    int flags = 0;
    int frameAddress = -1;
    int function = -1; // exception bit cleared
    int exception = 0;
    int offset = 0;
};
FrameDescription describeReceived(QByteArrayView bytes, QByteArrayView request, quint8 address,
                                  quint8 fc);

// Maps a Modbus exception code to the library's result code.
[[nodiscard]] int exceptionResult(int exceptionCode);

// The Modbus "3.5 character" silence between frames at a baud rate, in microseconds: 3.5
// characters of 10 bits (8N1) up to 19,200 baud, the fixed 1,750 us of the Modbus serial-line
// rules above it.
[[nodiscard]] std::int64_t interFrameGapUs(int baud);

} // namespace ombrel
