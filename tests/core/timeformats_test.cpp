#include "app/core/timeformats.h"

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
