// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QtGlobal>

// The answer bytes a simulated instrument gives for a record: function code, byte count, the
// number and a pattern that depends on the instrument (`seed`).
inline QByteArray RecordBytes(qint64 number, int seed) {
    QByteArray bytes(14, '\0');
    bytes[0] = 0x41;
    bytes[1] = 12;
    for (int i = 0; i < 8; ++i)
        bytes[2 + i] = static_cast<char>((number >> (8 * (7 - i))) & 0xFF);
    for (int i = 10; i < 14; ++i)
        bytes[i] = static_cast<char>((seed * 31 + i * 7 + number) & 0xFF);
    return bytes;
}
