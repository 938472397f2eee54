// SPDX-License-Identifier: MIT
#pragma once

#include <QtGlobal>

#include <array>

namespace comm {

// Speed of a serial transport. The ordinal travels in the transport settings array.
enum TComTransportSpeed : quint8 {
    cts1200,   // 0
    cts2400,   // 1
    cts4800,   // 2
    cts9600,   // 3
    cts19200,  // 4
    cts38400,  // 5
    cts57600,  // 6
    cts115200, // 7
    cts600,    // 8
};

// The speed of a line until the user chooses one, and whenever a choice names none.
inline constexpr TComTransportSpeed kDefaultSpeed = cts19200;

} // namespace comm

namespace comm::ipc {

// Baud rate of each speed ordinal.
inline constexpr std::array<qint32, 9> kBaudRates = {1200,  2400,  4800,   9600, 19200,
                                                     38400, 57600, 115200, 600};
static_assert(kBaudRates.size() == cts600 + 1);

// The speed selectors (the window's and the connection dialog's) list the ordinals from 0 in
// this order, up to 115200; 600 has no item.
inline constexpr int kSpeedItemCount = cts115200 + 1;

// Baud rate of a speed ordinal; 0 for an ordinal outside the table.
[[nodiscard]] constexpr qint32 baudRateOf(qint64 ordinal) {
    return ordinal >= 0 && ordinal < qint64(kBaudRates.size()) ? kBaudRates[std::size_t(ordinal)]
                                                               : 0;
}

// Baud rate of kDefaultSpeed.
inline constexpr qint32 kDefaultBaudRate = baudRateOf(kDefaultSpeed);

} // namespace comm::ipc
