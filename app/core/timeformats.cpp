#include "app/core/timeformats.h"

#include <QLocale>

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

QString LocaleTimeSeparator() {
    return SeparatorAfter(QLocale().timeFormat(QLocale::LongFormat), QStringLiteral("hH"),
                          QLatin1Char(':'));
}

QString LocaleDateTimeText(double dateTime) {
    const auto p = Split(dateTime);
    if (!p)
        return {};
    const QLocale locale;
    QString text = locale.toString(p->date, locale.dateFormat(QLocale::ShortFormat));
    if (p->msOfDay != 0)
        text += QLatin1Char(' ') +
                locale.toString(QTime::fromMSecsSinceStartOfDay(p->msOfDay),
                                WithoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
    return text;
}

std::optional<double> ParseLocaleDateTime(const QString& text) {
    const QLocale locale;
    const QString dateFormat = locale.dateFormat(QLocale::ShortFormat);
    const QChar dateSep = SeparatorAfter(dateFormat, QStringLiteral("dMy"), QLatin1Char('.'));
    const QChar timeSep = LocaleTimeSeparator().at(0);

    int i = 0;
    const int n = static_cast<int>(text.size());
    auto skipBlanks = [&] {
        while (i < n && IsBlank(text[i]))
            ++i;
    };
    // A number of 1 to 9 digits; its digit count goes to `digits`.
    auto number = [&](int& value, int* digits = nullptr) {
        const int start = i;
        value = 0;
        while (i < n && i - start < 9 && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'))
            value = value * 10 + (text[i++].unicode() - '0');
        if (digits)
            *digits = i - start;
        return i > start && !(i < n && text[i].isDigit());
    };
    auto separator = [&](std::initializer_list<QChar> accepted) {
        if (i < n && std::find(accepted.begin(), accepted.end(), text[i]) != accepted.end()) {
            ++i;
            return true;
        }
        return false;
    };

    skipBlanks();
    int fields[3] = {0, 0, 0};
    int yearDigits = 0;
    // Order of day, month and year in the short date.
    const int posD = static_cast<int>(dateFormat.indexOf(QLatin1Char('d')));
    const int posM = static_cast<int>(dateFormat.indexOf(QLatin1Char('M')));
    const int posY = static_cast<int>(dateFormat.indexOf(QLatin1Char('y')));
    const auto rank = [&](int pos) { return (pos > posD) + (pos > posM) + (pos > posY); };
    const int yearSlot = posY >= 0 && posD >= 0 && posM >= 0 ? rank(posY) : 2;
    const int daySlot = posY >= 0 && posD >= 0 && posM >= 0 ? rank(posD) : 0;
    const int monthSlot = posY >= 0 && posD >= 0 && posM >= 0 ? rank(posM) : 1;
    const std::initializer_list<QChar> dateSeps = {QLatin1Char('.'), QLatin1Char('/'),
                                                   QLatin1Char('-'), dateSep};
    for (int k = 0; k < 3; ++k) {
        if (k > 0 && !separator(dateSeps))
            return std::nullopt;
        if (!number(fields[k], k == yearSlot ? &yearDigits : nullptr))
            return std::nullopt;
    }
    int year = fields[yearSlot];
    if (yearDigits <= 2) {
        const int threshold = QDate::currentDate().year() - 50;
        year += threshold / 100 * 100;
        if (year < threshold)
            year += 100;
    }
    const QDate date(year, fields[monthSlot], fields[daySlot]);
    if (!date.isValid())
        return std::nullopt;

    int h = 0, m = 0, s = 0;
    const int afterDate = i;
    skipBlanks();
    if (i < n) {
        if (i == afterDate)
            return std::nullopt;
        const std::initializer_list<QChar> timeSeps = {QLatin1Char(':'), timeSep};
        if (!number(h) || !separator(timeSeps) || !number(m))
            return std::nullopt;
        if (separator(timeSeps) && !number(s))
            return std::nullopt;
        skipBlanks();
        if (i < n || h > 23 || m > 59 || s > 59)
            return std::nullopt;
    }
    return QDateTimeToDateTime(QDateTime(date, QTime(h, m, s), Qt::UTC));
}

} // namespace core
