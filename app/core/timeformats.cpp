// SPDX-License-Identifier: MIT
#include "app/core/timeformats.h"

#include <QLocale>
#include <QRegularExpression>

#include <cmath>

namespace core {
namespace {

constexpr std::int64_t kMsPerDay = 86'400'000;
const QDate kDateBase(1899, 12, 30);

// Calendar parts of a date-time, rounded to the whole millisecond.
struct TParts {
    QDate date;
    int msOfDay = 0;
    int hour() const { return msOfDay / 3'600'000; }
    int minute() const { return msOfDay / 60'000 % 60; }
    int second() const { return msOfDay / 1000 % 60; }
};

std::optional<TParts> Split(double dateTime) {
    if (!std::isfinite(dateTime) || std::fabs(dateTime) > 1e9)
        return std::nullopt;
    const auto ms = static_cast<std::int64_t>(std::llround(dateTime * double(kMsPerDay)));
    std::int64_t days = ms / kMsPerDay;
    std::int64_t rest = ms % kMsPerDay;
    if (rest < 0) {
        rest += kMsPerDay;
        --days;
    }
    TParts p{kDateBase.addDays(days), static_cast<int>(rest)};
    if (!p.date.isValid())
        return std::nullopt;
    return p;
}

QString Two(int v) {
    return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0'));
}

// Removes the time-zone field ("t", outside quoted text) from a time format and tidies the blanks
// it leaves behind.
QString WithoutTimeZone(const QString& format) {
    QString out;
    bool quoted = false;
    for (QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        out += c;
    }
    return out.simplified();
}

// First separator character after the first field of `letters` in a locale format.
QChar SeparatorAfter(const QString& format, const QString& letters, QChar fallback) {
    int i = 0;
    while (i < format.size() && !letters.contains(format[i]))
        ++i;
    while (i < format.size() && letters.contains(format[i]))
        ++i;
    if (i < format.size() && !format[i].isLetter() && format[i] != QLatin1Char('\''))
        return format[i];
    return fallback;
}

bool IsBlank(QChar c) {
    return c.unicode() <= 0x20;
}

} // namespace

double UnixToDateTime(std::uint32_t seconds) {
    return kUnixEpochDays + double(seconds / 86400) + double(seconds % 86400) / 86400.0;
}

std::uint32_t DateTimeToUnix(double dateTime) {
    if (!std::isfinite(dateTime) || dateTime < kUnixEpochDays)
        return 0;
    const double secs = std::round((dateTime - kUnixEpochDays) * 86400.0);
    if (secs >= 9.0e15) // beyond exact doubles: no meaningful second count
        return 0;
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(secs) & 0xFFFF'FFFFu);
}

QDateTime DateTimeToQDateTime(double dateTime) {
    const auto p = Split(dateTime);
    if (!p)
        return {};
    return QDateTime(p->date, QTime::fromMSecsSinceStartOfDay(p->msOfDay), Qt::UTC);
}

double QDateTimeToDateTime(const QDateTime& dt) {
    if (!dt.isValid())
        return kNoDateTime;
    const QDateTime utc = dt.timeSpec() == Qt::UTC ? dt : QDateTime(dt.date(), dt.time(), Qt::UTC);
    return double(kDateBase.daysTo(utc.date())) +
           double(utc.time().msecsSinceStartOfDay()) / double(kMsPerDay);
}

QString FormatWorkTime(std::int32_t seconds) {
    return QString::asprintf("%d %.2d:%.2d:%.2d", seconds / 86400, (seconds % 86400) / 3600,
                             (seconds % 3600) / 60, seconds % 60);
}

QString FormatRecordTime(double dateTime, const TJournalInfo* journal) {
    const bool startTime = journal && journal->StartTime;
    const bool workTime = journal && journal->DTIsWorkTime;
    if (!startTime && workTime && std::isfinite(dateTime))
        return FormatWorkTime(static_cast<std::int32_t>(DateTimeToUnix(dateTime)));
    const auto p = Split(dateTime);
    if (!p)
        return {};
    const QString sep = LocaleTimeSeparator();
    const QString time = Two(p->hour()) + sep + Two(p->minute()) + sep + Two(p->second());
    const QDate& d = p->date;
    if (startTime)
        return QStringLiteral("%1.%2.%3 ")
                   .arg(d.year(), 4, 10, QLatin1Char('0'))
                   .arg(Two(d.month()), Two(d.day())) +
               time + QLatin1Char(' ');
    if (d.year() > 2000)
        return QStringLiteral("%1.%2.%3 ").arg(Two(d.day()), Two(d.month()), Two(d.year() % 100)) +
               time;
    return QString::asprintf("%d.%.2d.%.2d %.2d:%.2d:%.2d", d.year() - 1970, d.month() - 1,
                             d.day() - 1, p->hour(), p->minute(), p->second());
}

QLocale TextLocale() {
    const QLocale locale;
    if (locale.language() == QLocale::C)
        return QLocale(QLocale::Russian, QLocale::Russia);
    return locale;
}

QString LocaleTimeSeparator() {
    return SeparatorAfter(TextLocale().timeFormat(QLocale::LongFormat), QStringLiteral("hH"),
                          QLatin1Char(':'));
}

QString LocaleDateTimeText(double dateTime) {
    const auto p = Split(dateTime);
    if (!p)
        return {};
    const QLocale locale = TextLocale();
    QString text = locale.toString(p->date, locale.dateFormat(QLocale::ShortFormat));
    if (p->msOfDay != 0)
        text += QLatin1Char(' ') +
                locale.toString(QTime::fromMSecsSinceStartOfDay(p->msOfDay),
                                WithoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
    return text;
}

namespace {

// Where day, month and year stand among the three date numbers of a text (0, 1 or 2).
struct TDateOrder {
    int day = 0;
    int month = 1;
    int year = 2;
};

constexpr TDateOrder kDayFirst{0, 1, 2};
constexpr TDateOrder kYearFirst{2, 1, 0};

// The order of the locale's short date format; day-first when the format lacks a field.
TDateOrder LocaleDateOrder(const QString& dateFormat) {
    const auto posD = dateFormat.indexOf(QLatin1Char('d'));
    const auto posM = dateFormat.indexOf(QLatin1Char('M'));
    const auto posY = dateFormat.indexOf(QLatin1Char('y'));
    if (posD < 0 || posM < 0 || posY < 0)
        return kDayFirst;
    const auto rank = [&](qsizetype pos) {
        return int(pos > posD) + int(pos > posM) + int(pos > posY);
    };
    return {rank(posD), rank(posM), rank(posY)};
}

// The lenient reading of ParseLocaleDateTime with the date order and separators given.
class TLenientReader {
public:
    TLenientReader(const QString& text, QList<QChar> dateSeps, QList<QChar> timeSeps)
        : m_text(text), m_n(static_cast<int>(text.size())), m_dateSeps(std::move(dateSeps)),
          m_timeSeps(std::move(timeSeps)) {}

    std::optional<double> read(TDateOrder order) {
        m_i = 0;
        skipBlanks();
        int fields[3] = {0, 0, 0};
        int digits[3] = {0, 0, 0};
        for (int k = 0; k < 3; ++k)
            if ((k > 0 && !separator(m_dateSeps)) || !number(fields[k], &digits[k]))
                return std::nullopt;
        int year = fields[order.year];
        if (digits[order.year] <= 2) {
            const int threshold = QDate::currentDate().year() - 50;
            year += threshold / 100 * 100;
            if (year < threshold)
                year += 100;
        }
        const QDate date(year, fields[order.month], fields[order.day]);
        if (!date.isValid())
            return std::nullopt;

        int h = 0, m = 0, s = 0;
        const int afterDate = m_i;
        skipBlanks();
        if (m_i < m_n) {
            if (m_i == afterDate || !number(h) || !separator(m_timeSeps) || !number(m))
                return std::nullopt;
            if (separator(m_timeSeps) && !number(s))
                return std::nullopt;
            skipBlanks();
            if (m_i < m_n || h > 23 || m > 59 || s > 59)
                return std::nullopt;
        }
        return QDateTimeToDateTime(QDateTime(date, QTime(h, m, s), Qt::UTC));
    }

private:
    void skipBlanks() {
        while (m_i < m_n && IsBlank(m_text[m_i]))
            ++m_i;
    }
    // A number of 1 to 9 ASCII digits.
    bool number(int& value, int* digits = nullptr) {
        const int start = m_i;
        value = 0;
        while (m_i < m_n && m_i - start < 9 && m_text[m_i] >= QLatin1Char('0') &&
               m_text[m_i] <= QLatin1Char('9'))
            value = value * 10 + (m_text[m_i++].unicode() - '0');
        if (digits)
            *digits = m_i - start;
        return m_i > start && !(m_i < m_n && m_text[m_i].isDigit());
    }
    bool separator(const QList<QChar>& accepted) {
        if (m_i < m_n && accepted.contains(m_text[m_i])) {
            ++m_i;
            return true;
        }
        return false;
    }

    const QString& m_text;
    const int m_n;
    const QList<QChar> m_dateSeps;
    const QList<QChar> m_timeSeps;
    int m_i = 0;
};

// The number format of a parsed time text: its digit runs become the date fields in `order`,
// then hours, minutes and seconds; every other character is kept as a quoted literal.
QString NumberFormatOf(const QString& text, TDateOrder order) {
    const QString trimmed = text.trimmed();
    QString format;
    int field = 0;
    for (qsizetype i = 0; i < trimmed.size();) {
        if (!trimmed[i].isDigit()) {
            const QChar c = trimmed[i++];
            format += c == QLatin1Char(' ') || c == QLatin1Char(':') ? QString(c)
                                                                     : QStringLiteral("\\") + c;
            continue;
        }
        qsizetype run = 0;
        while (i < trimmed.size() && trimmed[i].isDigit())
            ++i, ++run;
        const bool wide = run > 1;
        if (field == order.day)
            format += wide ? u"dd" : u"d";
        else if (field == order.month)
            format += wide ? u"mm" : u"m";
        else if (field == order.year)
            format += run > 2 ? u"yyyy" : u"yy";
        else if (field == 3)
            format += wide ? u"hh" : u"h";
        else if (field == 4)
            format += u"mm";
        else
            format += wide ? u"ss" : u"s";
        ++field;
    }
    return format;
}

// The instrument's own form: two-digit day and month, a two- or four-digit year, "." between
// them, then the time as hh:mm:ss.
bool IsInstrumentForm(const QString& text) {
    static const QRegularExpression form(
        QStringLiteral("^\\s*\\d\\d\\.\\d\\d\\.(\\d\\d|\\d{4})\\s+\\d\\d:\\d\\d:\\d\\d\\s*$"));
    return form.match(text).hasMatch();
}

// A date that starts with a four-digit year ("2020.09.13").
bool StartsWithFullYear(const QString& text) {
    static const QRegularExpression form(QStringLiteral("^\\s*\\d{4}[./-]"));
    return form.match(text).hasMatch();
}

} // namespace

std::optional<double> ParseLocaleDateTime(const QString& text) {
    const QLocale locale = TextLocale();
    const QString dateFormat = locale.dateFormat(QLocale::ShortFormat);
    const QChar dateSep = SeparatorAfter(dateFormat, QStringLiteral("dMy"), QLatin1Char('.'));
    TLenientReader reader(text, {QLatin1Char('.'), QLatin1Char('/'), QLatin1Char('-'), dateSep},
                          {QLatin1Char(':'), LocaleTimeSeparator().at(0)});
    return reader.read(LocaleDateOrder(dateFormat));
}

std::optional<TParsedTime> ParseRecordTime(const QString& text) {
    const auto parsed = [&](std::optional<double> v, TDateOrder order) {
        return v ? std::optional<TParsedTime>({*v, NumberFormatOf(text, order)}) : std::nullopt;
    };
    TLenientReader own(text, {QLatin1Char('.'), QLatin1Char('/'), QLatin1Char('-')},
                       {QLatin1Char(':')});
    if (IsInstrumentForm(text))
        return parsed(own.read(kDayFirst), kDayFirst);
    if (const auto v = ParseLocaleDateTime(text))
        return parsed(v, LocaleDateOrder(TextLocale().dateFormat(QLocale::ShortFormat)));
    if (const auto v = own.read(kDayFirst))
        return parsed(v, kDayFirst);
    if (StartsWithFullYear(text))
        return parsed(own.read(kYearFirst), kYearFirst);
    return std::nullopt;
}

} // namespace core
