// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <cstdint>
#include <limits>
#include <optional>

// Date-time values and their texts. A date-time is a double: days since 1899-12-30, the fraction
// is the time of day (TRecEvent::datetime). Record time stamps are seconds since 1970-01-01
// 00:00:00 without any time-zone correction, so every conversion here works on plain calendar
// arithmetic (UTC), never on the local zone.
namespace core {

// Days from 1899-12-30 to 1970-01-01.
inline constexpr double kUnixEpochDays = 25569.0;

// The time of an event whose time text could not be read. FormatRecordTime shows it as an
// empty text.
inline constexpr double kNoDateTime = std::numeric_limits<double>::quiet_NaN();

// Seconds since 1970-01-01 to a date-time.
double UnixToDateTime(std::uint32_t seconds);

// Date-time to seconds since 1970-01-01, rounded to the nearest second, modulo 2^32; 0 for any
// moment before 1970 and for kNoDateTime.
std::uint32_t DateTimeToUnix(double dateTime);

// Date-time (whole milliseconds) as a QDateTime in UTC and back; an invalid QDateTime for
// kNoDateTime or a value outside QDate's range.
QDateTime DateTimeToQDateTime(double dateTime);
double QDateTimeToDateTime(const QDateTime& dt);

// "%d %.2d:%.2d:%.2d" of days, hours, minutes and seconds of an operating-time counter
// (truncating signed division): 90061 gives "1 01:01:01".
QString FormatWorkTime(std::int32_t seconds);

// Time cell of a record by the flags of the journal being read (none: no flags):
// StartTime: "yyyy.MM.dd HH:mm:ss " (trailing blank); else DTIsWorkTime: FormatWorkTime;
// else a year after 2000: "dd.MM.yy HH:mm:ss"; else elapsed years, months and days since 1970:
// "%d.%.2d.%.2d %.2d:%.2d:%.2d". The ":" of the first two forms is the locale's time separator.
// kNoDateTime gives an empty text.
QString FormatRecordTime(double dateTime, const TJournalInfo* journal);

// The locale of date-time texts: the default locale, or Russian, the program's own language, when
// the default names no language (the C and POSIX locales of containers and servers).
QLocale TextLocale();

// The time separator of TextLocale() (":" when its time format names none).
QString LocaleTimeSeparator();

// TextLocale()'s date-time text: short date, a blank and the long time without its
// time-zone field; the time is left out at exactly midnight. Empty for kNoDateTime.
QString LocaleDateTimeText(double dateTime);

// Lenient date-time parser of TextLocale(), as a desktop date parser reads a typed text:
// day, month and year as numbers in the order of the locale's short date (any of ". / -" or the
// locale's own separator between them), a one- or two-digit year taken within 50 years of the
// current year (20 reads as 2020), then optionally hours, minutes and optional seconds separated
// by ":" or the locale's time separator. Leading and trailing blanks are ignored.
[[nodiscard]] std::optional<double> ParseLocaleDateTime(const QString& text);

// A time text read as a date-time, with the spreadsheet number format that shows the value as the
// text shows it (the text's field widths and separators, e.g. dd\.mm\.yy hh:mm:ss).
struct TParsedTime {
    double value = kNoDateTime;
    QString numberFormat;
};

// The time text of a record, whatever the locale. Instruments write day-first texts
// ("13.09.20 12:26:40", "13.09.2020 12:26:40"): a text of exactly that form is read day-first
// (a month-first or year-first locale would misread or reject it); any other text by
// ParseLocaleDateTime, then day-first as leniently, then as the calendar form of journals with
// StartTime ("2020.09.13 12:26:40 ").
[[nodiscard]] std::optional<TParsedTime> ParseRecordTime(const QString& text);

} // namespace core
