// SPDX-License-Identifier: MIT
#include "app/core/chartdata.h"

#include "app/core/chartaxes.h"

#include "app/core/stringgrid.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>

using namespace core;

namespace {

constexpr std::uint32_t kT = 1600000000; // 13.09.20 12:26:40

std::uint32_t F(float f) {
    return std::bit_cast<std::uint32_t>(f);
}

// A series as "name|seconds:before>new#record;...|items|without".
std::string Describe(const TChartSeries& s, std::int64_t startrec) {
    QString out = s.name + '|';
    for (const TChartPoint& p : s.points) {
        out += QString::number(p.x / 1000, 'f', 0) + ':';
        if (!std::isnan(p.before))
            out += QString::number(p.before) + '>';
        out += QString::number(p.y, 'g', 10) + '#' + QString::number(startrec + p.index) + ';';
    }
    out += '|';
    for (const auto& [n, text] : s.items)
        out += QString::number(n) + '=' + text + ';';
    out += '|' + QString::number(s.withoutTime);
    if (s.withoutValue > 0)
        out += '/' + QString::number(s.withoutValue);
    return out.toStdString();
}

} // namespace

// Records through the decoder, as a reading run gives them, to the chart's series.
TEST(ChartData, SeriesFromDecodedRecords) {
    struct Record {
        std::uint32_t time;
        std::uint16_t id;
        std::uint32_t before, value;
    };
    struct Case {
        const char* what;
        TTypeDev layout;
        bool workTime;
        std::vector<Record> records;
        std::vector<std::string> series; // Describe() of each charted type, in group order
    };
    const Case cases[] = {
        {"float values and times, sword and longword as the grouped view shows them",
         tdPlain,
         false,
         {{kT, 1, 0, F(21.5f)},
          {kT + 60, 2, 0, 0x0000FFFE},
          {kT + 120, 1, 0, F(-1.0f)},
          {kT + 180, 5, 0, 0xFFFFFFFF}},
         {"Уставка|1600000000:21.5#10;1600000120:-1#12;||0", "Смещение|1600000060:-2#11;||0",
          "Наработка|1600000180:4294967295#13;||0"}},
        {"a list plots item numbers; texts from the list and the fallback for a missing item",
         tdPlain,
         false,
         {{kT, 3, 0, 1}, {kT + 1, 3, 0, 5}, {kT + 2, 3, 0, 0}},
         {"Клапан|1600000000:1#10;1600000001:5#11;1600000002:0#12;|0=закрыт;1=открыт;5=* нет "
          "описания для индекса [5];|0"}},
        {"a layout with a value before: before and after of each record, list items of both",
         tdPlain3,
         false,
         {{kT, 1, F(80.0f), F(85.5f)}, {kT + 10, 3, 0, 1}, {kT + 20, 3, 1, 7}},
         {"Уставка|1600000000:80>85.5#10;||0",
          "Клапан|1600000010:0>1#11;1600000020:1>7#12;|0=закрыт;1=открыт;7=* нет описания для "
          "индекса [7];|0"}},
        {"a float that is no number is left out and counted; as a value before, no step",
         tdPlain3,
         false,
         {{kT, 1, 0, 0x7FC00000}, {kT + 1, 1, 0, 0x7F800000}, {kT + 2, 1, 0xFF800000, F(4.0f)}},
         {"Уставка|1600000002:4#12;||0/2"}},
        {"records out of time order are drawn in time order",
         tdPlain,
         false,
         {{kT + 50, 1, 0, F(2.0f)}, {kT, 1, 0, F(1.0f)}, {kT + 50, 1, 0, F(3.0f)}},
         {"Уставка|1600000000:1#11;1600000050:2#10;1600000050:3#12;||0"}},
        {"a calendar journal's times before 2001 (clock not set) are left out and counted",
         tdPlain,
         false,
         {{90061, 1, 0, F(1.0f)}, {kT, 1, 0, F(2.0f)}, {978307199, 1, 0, F(3.0f)}},
         {"Уставка|1600000000:2#11;||2"}},
        {"an operating-time journal keeps small times",
         tdPlain,
         true,
         {{90061, 1, 0, F(1.0f)}},
         {"Уставка|90061:1#10;||0"}},
        {"date-time types are not offered; an unknown ID is named by its ID, its values signed "
         "as the list shows them",
         tdPlain,
         false,
         {{kT, 4, 0, kT}, {kT, 99, 0, 0xFFFFFFFF}},
         {"99|1600000000:-1#11;||0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TDevInfo dev;
        dev.CountJournals = 1;
        dev.Journal[0].typedev = c.layout;
        dev.Journal[0].DTIsWorkTime = c.workTime;
        dev.ListRecType = {
            {1, dtFloat, "Уставка", {}, std::nullopt},
            {2, dtSWord, "Смещение", {}, std::nullopt},
            {3, dtList, "Клапан", {}, std::vector<TValueStr>{{0, "закрыт"}, {1, "открыт"}}},
            {4, dtDateTime, "Поверка", {}, std::nullopt},
            {5, dtLongWord, "Наработка", {}, std::nullopt},
        };
        core::TStringGrid sg(2, 5);
        TJournalDecoder decoder(sg);
        decoder.setDevice(&dev);
        decoder.setStartRec(10);
        for (std::size_t i = 0; i < c.records.size(); ++i) {
            const Record& r = c.records[i];
            decoder.DecodeRecord(std::int32_t(i), r.time, r.id, 0, r.before, r.value);
        }
        // The groups of text records (and of mode changes) carry texts only.
        decoder.AddGroupEvent(1000, dtList, "Текст", UnixToDateTime(kT), QStringLiteral("20"));
        const TChartData data = PrepareChartData(decoder);
        std::vector<std::string> got;
        for (const TChartSeries& s : data.series)
            got.push_back(Describe(s, data.startrec));
        EXPECT_EQ(got, c.series);
    }
}

TEST(ChartData, TooltipAndRanges) {
    TDevInfo dev;
    dev.CountJournals = 1;
    dev.Journal[0].typedev = tdPlain3;
    dev.Journal[0].DTIsWorkTime = true;
    dev.ListRecType = {{1, dtFloat, "Граница", {}, std::nullopt}};
    core::TStringGrid sg(2, 5);
    TJournalDecoder decoder(sg);
    decoder.setDevice(&dev);
    decoder.setStartRec(7);
    decoder.DecodeRecord(0, 90061, 1, 0, F(80.0f), F(85.5f));
    const TChartData data = PrepareChartData(decoder);
    ASSERT_EQ(data.series.size(), 1u);
    const TChartSeries& s = data.series[0];
    EXPECT_TRUE(data.workTime());
    EXPECT_EQ(s.minY, 80);
    EXPECT_EQ(s.maxY, 85.5);
    EXPECT_EQ(ChartPointText(data, s, s.points[0]),
              "Граница\nВремя: 1 01:01:01\nЗначение: 80.0000000 → 85.5000000\nЗапись: 7");
}

TEST(ChartData, DecimationKeepsEveryExtreme) {
    const auto line = [](std::initializer_list<double> ys, double x0 = 0) {
        std::vector<TLineVertex> v;
        for (double y : ys)
            v.push_back({x0++, y});
        return v;
    };
    struct Case {
        const char* what;
        std::vector<TLineVertex> line;
        double x0, x1;
        int columns;
        std::vector<std::size_t> kept;
    };
    const Case cases[] = {
        {"a sparse range keeps its vertices and one neighbour each side",
         line({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}),
         2,
         5,
         10,
         {1, 2, 3, 4, 5, 6}},
        {"one column: first, lowest, highest, last",
         line({0, 5, -3, 1, 9, 2, 2, -7, 0, 3, 1, 4}),
         0,
         11,
         1,
         {0, 4, 7, 11}},
        {"the lowest and highest are the first and last: nothing twice",
         line({-9, 0, 1, 2, 3, 2, 1, 0, 2, 3, 4, 9}),
         0,
         11,
         1,
         {0, 11}},
        {"equal extremes: the first of them",
         line({1, 8, 0, 8, 0, 1, 1, 1, 1, 1}),
         0,
         9,
         1,
         {0, 1, 2, 9}},
        {"two columns, each with its own extremes",
         line({0, 9, 1, 1, 1, -1, 1, 1, 1, 1, 5, 5, 5, 5, -8, 5, 5, 5, 20, 6}),
         0,
         20,
         2,
         {0, 1, 5, 9, 10, 14, 18, 19}},
        {"a zoomed range: extremes inside, the vertices just outside for the edges",
         line({50, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, -50}),
         1,
         11,
         1,
         {0, 1, 11, 12}},
        {"before and after at one time stay both",
         {{0, 1}, {0, 9}, {1, 9}, {1, 2}, {2, 2}, {2, 3}},
         0,
         2,
         1,
         {0, 1, 5}},
        {"nothing in range: the neighbours only", line({1, 2, 3}), 1.2, 1.8, 5, {1, 2}},
        {"an empty line", {}, 0, 1, 5, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(DecimateLine(c.line, c.x0, c.x1, c.columns), c.kept);
    }

    // A long noisy line: every column's lowest and highest value is drawn, and at most four
    // vertices a column.
    std::mt19937 random(7);
    std::uniform_real_distribution<double> noise(-1000, 1000);
    std::vector<TLineVertex> big;
    for (int i = 0; i < 65536; ++i)
        big.push_back({double(i), noise(random)});
    const int columns = 700;
    const std::vector<std::size_t> kept = DecimateLine(big, 0, 65535, columns);
    EXPECT_LE(kept.size(), std::size_t(4 * columns));
    std::vector<double> low(columns, 1e9), high(columns, -1e9), keptLow = low, keptHigh = high;
    const auto column = [&](std::size_t i) {
        return std::min(int(double(i) * (columns / 65535.0)), columns - 1);
    };
    for (std::size_t i = 0; i < big.size(); ++i) {
        low[column(i)] = std::min(low[column(i)], big[i].y);
        high[column(i)] = std::max(high[column(i)], big[i].y);
    }
    for (const std::size_t i : kept) {
        keptLow[column(i)] = std::min(keptLow[column(i)], big[i].y);
        keptHigh[column(i)] = std::max(keptHigh[column(i)], big[i].y);
    }
    EXPECT_EQ(keptLow, low);
    EXPECT_EQ(keptHigh, high);
}

TEST(ChartData, ValueAxes) {
    struct Case {
        const char* what;
        std::vector<TValueRange> ranges;
        std::vector<int> axes;
    };
    const Case cases[] = {
        {"similar scales share", {{0, 100}, {20, 80}, {-50, 40}}, {0, 0, 0}},
        {"a narrow range gets its own", {{0, 100}, {0, 1}}, {0, 1}},
        {"far apart ranges", {{0, 100}, {1000, 1100}}, {0, 1}},
        {"a constant near the others' size", {{0, 100}, {50, 50}}, {0, 0}},
        {"lists always apart", {{0, 3, true}, {0, 3, true}, {0, 3}}, {0, 1, 2}},
        {"a later type joins the axis that fits", {{0, 1}, {0, 100}, {0, 2}}, {0, 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(AssignValueAxes(c.ranges), c.axes);
    }
}

// At most two value axes: with three groups the first keeps the left axis and the others go on
// the right one in per cent of their ranges.
TEST(ChartData, AtMostTwoValueAxes) {
    const struct {
        const char* what;
        std::vector<TValueRange> ranges;
        std::vector<int> axes;
        std::vector<bool> normalised;
    } cases[] = {
        {"one axis", {{0, 100}, {20, 80}}, {0, 0}, {false, false}},
        {"two axes", {{0, 100}, {0, 1}}, {0, 1}, {false, false}},
        {"three scales",
         {{0, 1}, {0, 100}, {0, 1e6}, {0, 2}},
         {0, 1, 1, 0},
         {false, true, true, false}},
        {"lists beside a number",
         {{0, 3, true}, {0, 3, true}, {0, 3}},
         {0, 1, 1},
         {false, true, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const TAxisPlan plan = PlanValueAxes(c.ranges);
        EXPECT_EQ(plan.axisOf, c.axes);
        EXPECT_EQ(plan.normalised, c.normalised);
        EXPECT_EQ(plan.percentAxis, c.normalised != std::vector<bool>(c.normalised.size(), false));
    }
    EXPECT_EQ(NormalisedValue(15, 10, 20), 50);
    EXPECT_EQ(NormalisedValue(7, 7, 7), 50);
}

// Ticks at round values and times, labelled in full: grouped digits, no exponent, the
// decimals the step needs; times to the step's precision.
TEST(ChartData, RoundTicks) {
    const QLocale ru(QLocale::Russian);
    const QString g = ru.groupSeparator();
    const struct {
        const char* what;
        double lo, hi;
        int maxTicks;
        bool time;
        QStringList labels;
    } cases[] = {
        {"fractions", 0.465649, 1.2, 4, false, {"0,6", "0,8", "1,0", "1,2"}},
        {"counter",
         4294967000.0,
         4294968000.0,
         2,
         false,
         {"4" + g + "294" + g + "967" + g + "000", "4" + g + "294" + g + "967" + g + "500",
          "4" + g + "294" + g + "968" + g + "000"}},
        {"around zero", -1.0, 1.0, 2, false, {"-1", "0", "1"}},
        {"half a minute",
         1600000000000.0 + 1300,
         1600000030000.0,
         3,
         true,
         {"13.09.20<br>12:26:50", "13.09.20<br>12:27:00", "13.09.20<br>12:27:10"}},
        {"a day",
         1600000000000.0,
         1600086400000.0,
         4,
         true,
         {"13.09.20<br>18:00", "14.09.20<br>00:00", "14.09.20<br>06:00", "14.09.20<br>12:00"}},
        {"weeks",
         1600000000000.0,
         1600000000000.0 + 20 * 86400000.0,
         4,
         true,
         {"15.09.20", "20.09.20", "25.09.20", "30.09.20"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<TAxisTick> ticks =
            c.time ? TimeTicks(c.lo, c.hi, c.maxTicks) : NumberTicks(c.lo, c.hi, c.maxTicks, ru);
        QStringList labels;
        for (const TAxisTick& t : ticks) {
            labels.append(t.label);
            EXPECT_GE(t.value, c.lo - 1e-9 * std::abs(c.lo));
            EXPECT_LE(t.value, c.hi + 1e-9 * std::abs(c.hi));
        }
        EXPECT_EQ(labels.join('|').toStdString(), c.labels.join('|').toStdString());
    }
}
