// SPDX-License-Identifier: MIT
#pragma once

#include <QtGlobal>

// Task arrays (a master component to the server master object) and answer arrays (back). Every
// task array starts with the opcode (quint8) and the caller's QID (qint32); the elements after
// them depend on the opcode. Element indexes below; Size is the element count.
namespace comm::ipc {

enum Opcode : quint8 {
    opExchange,       // 0
    opGetDeviceName,  // 1
    opReadHoldRegs,   // 2
    opWriteHoldRegs,  // 3
    opReadInputRegs,  // 4
    opReadHoldBins,   // 5
    opWriteHoldBins,  // 6
    opReadInputBins,  // 7
    opReadTimeArch,   // 8 archive records by time (year, month, ... fields)
    opReadIndexArch,  // 9
    opReadStatus,     // 10
    opDiagnostics,    // 11
    opReadTimeArchEx, // 12 archive records by time (a date-time)
};

// clang-format off
struct TaskHead { static constexpr int Opcode = 0, QID = 1, Size = 2; };
// opExchange: the one task that names the device address itself.
struct ExchangeTask { static constexpr int Address = 2, Function = 3, Period = 4, Value = 5, Size = 6; };
// opReadHoldRegs, opReadInputRegs.
struct RegisterReadTask { static constexpr int Period = 2, Address = 3, DataType = 4, Count = 5, Size = 6; };
// opWriteHoldRegs, opWriteHoldBins.
struct WriteTask { static constexpr int Period = 2, Address = 3, Value = 4, Size = 5; };
// opReadHoldBins, opReadInputBins.
struct BitReadTask { static constexpr int Period = 2, Address = 3, Count = 4, Size = 5; };
// opReadTimeArch: Year, then month, day, hour, minute and second.
struct TimeArchTask { static constexpr int Archive = 2, Count = 3, Year = 4, DataType = 10, Size = 11; };
// opReadIndexArch.
struct IndexArchTask { static constexpr int Archive = 2, Count = 3, Index = 4, DataType = 5, Size = 6; };
// opReadStatus.
struct StatusTask { static constexpr int Period = 2, Size = 3; };
// opDiagnostics.
struct DiagnosticsTask { static constexpr int Period = 2, SubFunction = 3, Value = 4, Size = 5; };
// opReadTimeArchEx.
struct TimeArchExTask { static constexpr int Archive = 2, Count = 3, Time = 4, DataType = 5, ArchType = 6, TimeField = 7, Size = 8; };

// The answer to every task: opcode (quint8), QID, device address, function, value (any variant),
// result code (qint32 each but the value).
struct Answer { static constexpr int Opcode = 0, QID = 1, Address = 2, Function = 3, Value = 4, Result = 5, Size = 6; };
// clang-format on

} // namespace comm::ipc
