// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"

#include <QString>
#include <QVariant>

#include <cstdint>
#include <optional>
#include <span>

// The byte layouts of journal replies and the texts of their values. A reply is the 256-byte
// buffer of the access library: byte 0 the function code, byte 1 the data length, then the data.
// Every reader here takes the buffer as a span and reads a byte outside it as 0, so a short or
// truncated buffer can never be read past its end.
namespace core {

inline constexpr int kReplySize = 256;
using TReplyView = std::span<const std::uint8_t>;

// Big-endian numbers at a byte offset.
std::uint16_t ReadBE16(TReplyView reply, int offset);
std::uint32_t ReadBE32(TReplyView reply, int offset);

// The fields of a fixed-layout record.
struct TFixedRecord {
    std::uint32_t time = 0;
    std::uint16_t id = 0;
    std::uint32_t before = 0; // 0 for the layouts without a value before
    std::uint32_t value = 0;
};

// Fields of a fixed-layout record (tdPlain, tdPlain2, tdPlain3, tdPlain4) by its layout.
// `requestIndex` is the record index as sent in the request (after the ring wrap-around): in
// tdPlain2 and tdPlain4 the record at index 0 is the journal's head and carries the ID 65535.
TFixedRecord ParseFixedRecord(TTypeDev layout, TReplyView reply, int requestIndex);

// Whether a layout carries a value before the change (tdPlain3, tdPlain4).
bool HasBeforeValue(TTypeDev layout);

// The text of a text record: the length byte (byte 1) and that many windows-1251 characters from
// byte 2, at most the 254 the buffer holds.
QString TextFromReply(TReplyView reply);

// A text record split into its four texts.
struct TTextFields {
    QString time;
    QString name;
    QString before;
    QString value;
};

// tdMarlo: fixed character positions (separator, 17-character time, separator, name, " : ",
// value before, " -> ", new value).
TTextFields SplitMarloText(const QString& text);
// tdQuint: lines (time; name with a trailing ":"; "before > new"). A text of fewer than three
// lines keeps what it has: the first line as time text, the second as name.
TTextFields SplitQuintText(const QString& text);

// Removes leading and trailing blanks and control characters (every character up to U+0020).
QString TrimControls(const QString& text);

// Text of a mode code of a mode-change record; empty for an unknown code.
QString ModeText(std::uint16_t code);

// Replaces the first occurrence of `from` by `to`.
QString ReplaceFirstChar(QString text, QChar from, QChar to);

// Seven decimals, ASCII digits, "-" and "." whatever the locale, no digit grouping; "NaN", "INF",
// "-INF" for values that are not finite.
QString FormatFloat(double value);

// Text and event value of a raw 32-bit value by a record type's data type. `strs` is the value
// list of a list type (atype 256); without a list, a list value has neither text nor event
// (nullopt).
struct TFormattedValue {
    QString text;
    QVariant value;
};
[[nodiscard]] std::optional<TFormattedValue> FormatValue(std::int32_t atype, std::uint32_t raw,
                                                         const std::vector<TValueStr>* strs);

// Text of an event value in the grouped view by its group's data type: the text the linear list
// shows for the record.
QString GroupValueText(std::int32_t atype, const QVariant& value);
// The number that text shows; nullopt for date-time and list types.
std::optional<double> GroupValueNumber(std::int32_t atype, const QVariant& value);

// Name of a data type in the record-type list.
QString TypeName(std::int32_t atype);

} // namespace core
