// SPDX-License-Identifier: MIT
#include "app/core/recordformat.h"
#include "app/core/timeformats.h"

#include "tests/qstringprinter.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace core;

namespace {
TJournalInfo Journal(bool startTime, bool workTime) {
    TJournalInfo j;
    j.StartTime = startTime;
    j.DTIsWorkTime = workTime;
    return j;
}
} // namespace

TEST(TimeFormats, UnixConversionsRoundTrip) {
    EXPECT_DOUBLE_EQ(UnixToDateTime(0), 25569.0);
    EXPECT_DOUBLE_EQ(UnixToDateTime(86400 + 43200), 25570.5);
    for (std::uint32_t s : {0u, 59u, 90061u, 1600000000u, 4294967295u})
        EXPECT_EQ(DateTimeToUnix(UnixToDateTime(s)), s) << s;
    EXPECT_EQ(DateTimeToUnix(25568.9), 0u);               // before 1970
    EXPECT_EQ(DateTimeToUnix(25569.0 + 0.6 / 86400), 1u); // nearest second
    EXPECT_EQ(DateTimeToUnix(kNoDateTime), 0u);
    EXPECT_EQ(DateTimeToQDateTime(UnixToDateTime(1600000000)),
              QDateTime(QDate(2020, 9, 13), QTime(12, 26, 40), Qt::UTC));
}

TEST(TimeFormats, RecordTimeTexts) {
    struct Case {
        std::uint32_t seconds;
        bool startTime, workTime;
        const char* text;
    };
    const Case cases[] = {
        {0, false, false, "0.00.00 00:00:00"},
        {90061, false, false, "0.00.01 01:01:01"},
        {978307199, false, false, "30.11.30 23:59:59"}, // 2000-12-31 23:59:59
        {978307200, false, false, "01.01.01 00:00:00"}, // 2001-01-01
        {1600000000, false, false, "13.09.20 12:26:40"},
        {90061, false, true, "1 01:01:01"},
        {59, false, true, "0 00:00:59"},
        {4294967295u, false, true, "0 00:00:-01"}, // the counter is read as signed
        {1600000000, true, false, "2020.09.13 12:26:40 "},
        {1600000000, true, true, "2020.09.13 12:26:40 "}, // the calendar form wins
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        const TJournalInfo j = Journal(c.startTime, c.workTime);
        EXPECT_EQ(FormatRecordTime(UnixToDateTime(c.seconds), &j), QString::fromUtf8(c.text));
    }
    EXPECT_EQ(FormatRecordTime(UnixToDateTime(0), nullptr), "0.00.00 00:00:00");
    EXPECT_EQ(FormatRecordTime(kNoDateTime, nullptr), QString());
    EXPECT_EQ(FormatWorkTime(-90061), "-1 -01:-01:-01");
}

TEST(TimeFormats, LocaleDateTimeText) {
    EXPECT_EQ(LocaleTimeSeparator(), ":");
    EXPECT_EQ(LocaleDateTimeText(UnixToDateTime(1600000000)), "13.09.2020 12:26:40");
    EXPECT_EQ(LocaleDateTimeText(UnixToDateTime(1599955200)), "13.09.2020"); // midnight
    EXPECT_EQ(LocaleDateTimeText(UnixToDateTime(1599955201)), "13.09.2020 00:00:01");
    EXPECT_EQ(LocaleDateTimeText(kNoDateTime), QString());
}

TEST(TimeFormats, LenientParser) {
    const double expected = UnixToDateTime(1600000000); // 13.09.2020 12:26:40
    struct Case {
        const char* text;
        double value; // NaN: rejected
    };
    const double midnight = UnixToDateTime(1599955200);
    const Case cases[] = {
        {"13.09.20 12:26:40", expected},
        {"13.09.2020 12:26:40", expected},
        {"  13.09.2020   12:26:40 ", expected},
        {"13/09/2020 12:26:40", expected},
        {"13.9.2020 12:26:40", expected},
        {"13.09.2020 12:26", expected - 40.0 / 86400},
        {"13.09.2020", midnight},
        {"13.09.2020 12", NAN},
        {"31.02.2020 12:26:40", NAN},
        {"13.09.2020 24:00:00", NAN},
        {"13.09.2020 12:60:00", NAN},
        {"13.09.2020 12:26:40x", NAN},
        {"13.09.202012:26:40", NAN},
        {"2020.09.13 12:26:40 ", NAN}, // day 2020
        {"13.09", NAN},
        {"", NAN},
        {"abc", NAN},
        {"1 01:01:01", NAN},
        {"13.09.20201234567890 12:00", NAN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto v = ParseLocaleDateTime(QString::fromUtf8(c.text));
        if (std::isnan(c.value)) {
            EXPECT_FALSE(v.has_value());
        } else {
            ASSERT_TRUE(v.has_value());
            EXPECT_EQ(DateTimeToUnix(*v), DateTimeToUnix(c.value));
        }
    }
}

// Texts under locales pinned here: an instrument's day-first time is read as such under any
// locale, the C locale gives Russian texts, and float texts keep ASCII digits, "-" and "."
TEST(TimeFormats, TextsUnderPinnedLocales) {
    struct Case {
        const char* locale;
        char what;          // 'p' ParseRecordTime, 'd' LocaleDateTimeText, 'f' FormatFloat
        const char* input;  // the text, the seconds since 1970, the number
        const char* output; // 'p': the value and its number format, "-" when rejected
    } cases[] = {
        {"en_US", 'p', "13.09.20 12:26:40", "2020-09-13 12:26:40 dd\\.mm\\.yy hh:mm:ss"},
        {"en_US", 'p', " 13.09.2020 12:26:40", "2020-09-13 12:26:40 dd\\.mm\\.yyyy hh:mm:ss"},
        {"en_US", 'p', "01.02.20 08:00:00", "2020-02-01 08:00:00 dd\\.mm\\.yy hh:mm:ss"},
        {"en_US", 'p', "9/13/20 12:26", "2020-09-13 12:26:00 m\\/dd\\/yy hh:mm"},
        {"en_US", 'p', "13.9.20 12:26", "2020-09-13 12:26:00 dd\\.m\\.yy hh:mm"},
        {"hu_HU", 'p', "13.09.20 12:26:40", "2020-09-13 12:26:40 dd\\.mm\\.yy hh:mm:ss"},
        {"ru_RU", 'p', "2020.09.13 12:26:40 ", "2020-09-13 12:26:40 yyyy\\.mm\\.dd hh:mm:ss"},
        {"ru_RU", 'p', "13.09.2020", "2020-09-13 00:00:00 dd\\.mm\\.yyyy"},
        {"ru_RU", 'p', "1 01:01:01", "-"},
        {"ru_RU", 'p', "0.00.01 01:01:01", "-"},
        {"ru_RU", 'p', "Error", "-"},
        {"C", 'p', "13.09.20 12:26:40", "2020-09-13 12:26:40 dd\\.mm\\.yy hh:mm:ss"},
        {"C", 'd', "1600000000", "13.09.2020 12:26:40"},
        {"C", 'd', "1614556800", "01.03.2021"},
        {"en_US", 'd', "1600000000", "9/13/20 12:26:40 PM"},
        {"sv_SE", 'f', "-2000", "-2000.0000000"},
        {"nb_NO", 'f', "-0.5", "-0.5000000"},
        {"fi_FI", 'f', "-1.5", "-1.5000000"},
        {"ar_EG", 'f', "1234.5", "1234.5000000"},
        {"fa_IR", 'f', "-0.25", "-0.2500000"},
        {"de_DE", 'f', "1234567.5", "1234567.5000000"},
    };
    const QLocale pinned;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.locale) + " " + c.input);
        QLocale::setDefault(QLocale(QString::fromLatin1(c.locale)));
        const QString input = QString::fromUtf8(c.input);
        QString output;
        if (c.what == 'p') {
            const auto t = ParseRecordTime(input);
            output =
                t ? DateTimeToQDateTime(t->value).toString("yyyy-MM-dd HH:mm:ss ") + t->numberFormat
                  : QStringLiteral("-");
        } else if (c.what == 'd') {
            output = LocaleDateTimeText(UnixToDateTime(input.toUInt()));
        } else {
            output = FormatFloat(input.toDouble());
        }
        EXPECT_EQ(output, QString::fromUtf8(c.output));
    }
    QLocale::setDefault(pinned);
}
