// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// The single-byte code page that stands in for the desktop's ANSI code page: windows-1251
// (Cyrillic). INI files without a byte-order mark, instrument text records and the text export
// use it.
namespace platform {

// Decodes windows-1251 bytes. Every byte maps to one character; the one unassigned byte (0x98)
// becomes U+FFFD.
QString fromCp1251(QByteArrayView bytes);

// Encodes to windows-1251. Characters the code page lacks become '?'.
QByteArray toCp1251(QStringView text);

} // namespace platform
