// SPDX-License-Identifier: MIT
#pragma once

// Type codes of the values a task reads (the DataType argument of the register and archive
// reads) and of the access library's register reads: the automation variant type numbers.
namespace comm::ipc {

// clang-format off
enum VarType : int {
    vtI1 = 16, vtUI1 = 17,                                   // 1 byte
    vtI2 = 2,  vtUI2 = 18, vtBool = 11,                      // 2 bytes
    vtI4 = 3,  vtUI4 = 19, vtR4 = 4, vtInt = 22, vtUInt = 23, // 4 bytes
    vtI8 = 20, vtUI8 = 21, vtR8 = 5,                         // 8 bytes
    vtDate = 7, vtBStr = 8,                                  // date-time, text
};
// clang-format on

// Bytes a value of the type takes in a reply: -1 for text (the rest of the reply), 0 for a code
// no reply carries.
[[nodiscard]] constexpr int varTypeSize(int code) {
    switch (code) {
    case vtI1:
    case vtUI1:
        return 1;
    case vtI2:
    case vtUI2:
    case vtBool:
        return 2;
    case vtI4:
    case vtUI4:
    case vtR4:
    case vtInt:
    case vtUInt:
        return 4;
    case vtI8:
    case vtUI8:
    case vtR8:
        return 8;
    case vtBStr:
        return -1;
    default:
        return 0;
    }
}

} // namespace comm::ipc
