// SPDX-License-Identifier: MIT
#include "app/core/journaldecoder.h"

#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <array>

using namespace core;

namespace {

using Reply = std::array<std::uint8_t, 256>;

TDevInfo Device(TTypeDev layout, bool withModeJournal = false) {
    TDevInfo d;
    d.Name = "Прибор";
    d.CountJournals = withModeJournal ? 2 : 1;
    d.Journal[0].typedev = layout;
    d.Journal[1].typedev = layout;
    d.ListRecType = {
        {1, dtFloat, "Коэффициент", {}, std::nullopt},
        {2, dtList, "Режим", {}, std::vector<TValueStr>{{0, "выкл"}, {1, "вкл"}}},
        {3, dtList, "Без списка", {}, std::nullopt},
        {1, dtSWord, "Повтор ID", {}, std::nullopt},
        {4, dtUWord, "Слово", {}, std::nullopt},
    };
    return d;
}

Reply TextReply(const QString& text) {
    Reply r{};
    const QByteArray cp = platform::toCp1251(text);
    r[0] = 0x41;
    r[1] = static_cast<std::uint8_t>(cp.size());
    std::copy(cp.begin(), cp.end(), r.begin() + 2);
    return r;
}

Reply ModeReply(std::uint32_t time, std::uint16_t code) {
    Reply r{};
    r[2] = time >> 24;
    r[3] = time >> 16;
    r[4] = time >> 8;
    r[5] = time;
    r[6] = code >> 8;
    r[7] = code;
    return r;
}

QStringList Row(const core::IStringGrid& g, int row) {
    QStringList cells;
    for (int c = 0; c < g.columnCount(); ++c)
        cells << g.cell(row, c);
    return cells;
}

struct Fixture : testing::Test {
    core::TStringGrid sg{2, 5};
    core::TStringGrid sgGr{2, 1};
    TJournalDecoder decoder{sg};
    int scrolls = 0;
    Fixture() {
        decoder.setScrollHook([this] { ++scrolls; });
    }
};

using Decoder = Fixture;

} // namespace

TEST_F(Decoder, FixedRecordRows) {
    struct Case {
        TTypeDev layout;
        std::uint16_t id;
        std::int32_t error;
        std::uint32_t before, value;
        QStringList row;
    };
    const QString t = "13.09.20 12:26:40";
    const Case cases[] = {
        {tdPlain, 1, 0, 0x3F800000, 0x3FC00000, {"10", t, "Коэффициент", "", "1.5000000"}},
        {tdPlain3,
         1,
         0,
         0x3F800000,
         0x3FC00000,
         {"10", t, "Коэффициент", "1.0000000", "1.5000000"}},
        {tdPlain4, 2, 0, 0, 1, {"10", t, "Режим", "выкл", "вкл"}},
        {tdPlain4, 3, 0, 0, 1, {"10", t, "Без списка", "", ""}},
        {tdPlain2, 999, 0, 7, 0xFFFFFFFF, {"10", t, "999", "", "-1"}},
        {tdPlain3, 999, 0, 7, 0xFFFFFFFF, {"10", t, "999", "7", "-1"}},
        {tdPlain, 1, 5, 0, 1, {"10", "Error", "", "", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "layout " << int(c.layout) << " id " << c.id);
        const TDevInfo dev = Device(c.layout);
        decoder.setDevice(&dev);
        decoder.setStartRec(7);
        sg.setRowCount(2);
        sg.clearCells(1);
        decoder.DecodeRecord(3, 1600000000, c.id, c.error, c.before, c.value);
        EXPECT_EQ(sg.rowCount(), 5);
        EXPECT_EQ(Row(sg, 4), c.row);
    }
    EXPECT_EQ(scrolls, 7);
}

TEST_F(Decoder, FixedRecordEvents) {
    const TDevInfo dev = Device(tdPlain);
    decoder.setDevice(&dev);
    decoder.DecodeRecord(0, 100, 1, 0, 0, 0x3FC00000); // first of two types with ID 1: float
    decoder.DecodeRecord(1, 200, 999, 0, 0, 0xFFFFFFFF);
    decoder.DecodeRecord(2, 300, 3, 0, 0, 1); // list without value list: no event
    decoder.DecodeRecord(3, 400, 1, 7, 0, 1); // error: no event
    decoder.DecodeRecord(4, 500, 1, 0, 0, 0xBF800000);
    decoder.DecodeRecord(5, 600, 4, 0, 0, 0xFFFF0001);
    const auto& groups = decoder.ListRecGroup();
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_EQ(groups[0].addr, 1);
    EXPECT_EQ(groups[0].atype, dtFloat);
    EXPECT_EQ(groups[0].Name, "Коэффициент");
    ASSERT_EQ(groups[0].Events.size(), 2u);
    EXPECT_EQ(groups[0].Events[0].Value, QVariant(1.5));
    EXPECT_EQ(DateTimeToUnix(groups[0].Events[1].datetime), 500u);
    EXPECT_EQ(groups[1].addr, 999);
    EXPECT_EQ(groups[1].atype, dtLongWord);
    EXPECT_EQ(groups[1].Name, "???");
    EXPECT_EQ(groups[1].Events[0].Value, QVariant(-1));
    EXPECT_EQ(groups[2].Events[0].Value, QVariant(-65535));

    decoder.BuildGroupView(sgGr);
    EXPECT_EQ(sgGr.rowCount(), 4);
    EXPECT_EQ(sgGr.columnCount(), 3);
    EXPECT_EQ(Row(sgGr, 1), QStringList({"Коэффициент", "0.00.00 00:01:40\r1.5000000",
                                         "0.00.00 00:08:20\r-1.0000000"}));
    EXPECT_EQ(Row(sgGr, 2), QStringList({"999", "0.00.00 00:03:20\r-1", ""}));
    EXPECT_EQ(Row(sgGr, 3), QStringList({"Слово", "0.00.00 00:10:00\r1", ""}));
}

// The grouped view shows the value text the list shows, for every value type and for an ID
// without record type.
TEST_F(Decoder, GroupedViewShowsTheListsValueText) {
    const struct {
        std::int32_t atype; // -1: an ID without record type
        std::uint32_t raw;
        const char* text;
    } cases[] = {{dtSWord, 0x0001FFFE, "-2"},
                 {dtSLongWord, 0xFFFFFFFF, "-1"},
                 {dtFloat, 0xBFC00000, "-1.5000000"},
                 {dtDateTime, 1600000000, "13.09.2020 12:26:40"},
                 {dtSByte, 0x000001FF, "-1"},
                 {dtUByte, 0xFFFFFF80, "128"},
                 {dtUWord, 0xFFFF0001, "1"},
                 {dtLongWord, 0xFFFFFFFF, "4294967295"},
                 {dtList, 1, "вкл"},
                 {0, 0xFFFFFFFF, "-1"},
                 {-1, 0xFFFFFFFF, "-1"}};
    TDevInfo dev;
    dev.CountJournals = 1;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const auto id = static_cast<std::uint16_t>(c.atype < 0 ? 999 : i + 1);
        const std::vector<TValueStr> list{{1, "вкл"}};
        if (c.atype >= 0)
            dev.ListRecType.push_back({id, c.atype, QString::number(i), {}, list});
        decoder.setDevice(&dev);
        decoder.DecodeRecord(int(i), 1600000000, id, 0, 0, c.raw);
    }
    decoder.BuildGroupView(sgGr);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(testing::Message() << "atype " << cases[i].atype);
        const int row = int(i) + 1;
        EXPECT_EQ(sg.cell(row, 4), QString::fromUtf8(cases[i].text));
        EXPECT_EQ(sgGr.cell(row, 1).section(u'\r', 1), sg.cell(row, 4));
    }
}

TEST_F(Decoder, FixedReplyUsesTheJournalLayout) {
    TDevInfo dev = Device(tdPlain2);
    dev.ListRecType.push_back({65535, dtLongWord, "Начало журнала", {}, std::nullopt});
    decoder.setDevice(&dev);
    Reply r{};
    r[8] = 0;
    r[9] = 1;
    r[13] = 1;
    decoder.DecodeFixedReply(0, r, 0);
    decoder.DecodeFixedReply(1, r, 1);
    EXPECT_EQ(sg.cell(1, 2), "Начало журнала");
    EXPECT_EQ(sg.cell(2, 2), "Коэффициент");
}

TEST_F(Decoder, TextRecordsGroupByName) {
    const TDevInfo dev = Device(tdMarlo);
    decoder.setDevice(&dev);
    decoder.DecodeTextRecord(0, TextReply(" 13.09.20 12:26:40 Уставка : 10 -> 20"));
    decoder.DecodeTextRecord(1, TextReply(" 14.09.20 08:00:00 Режим : 1 -> 2"));
    decoder.DecodeTextRecord(2, TextReply(" 15.09.20 09:00:00 Уставка : 20 -> 30"));
    EXPECT_EQ(Row(sg, 1), QStringList({"0", "13.09.20 12:26:40", "Уставка", "10", "20"}));
    ASSERT_EQ(decoder.ListStr().size(), 2u);
    EXPECT_EQ(decoder.ListStr()[1].str, "Режим");
    EXPECT_EQ(decoder.ListStr()[1].ID, 2);
    const auto& groups = decoder.ListRecGroup();
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].Events.size(), 2u);
    EXPECT_EQ(groups[0].atype, dtList);
    EXPECT_EQ(groups[0].Events[1].Value, QVariant("30"));
    EXPECT_EQ(DateTimeToUnix(groups[0].Events[0].datetime), 1600000000u);
    EXPECT_EQ(decoder.UnparsedTimeCount(), 0);

    decoder.BuildGroupView(sgGr);
    EXPECT_EQ(Row(sgGr, 1),
              QStringList({"Уставка", "13.09.20 12:26:40\r20", "15.09.20 09:00:00\r30"}));
    EXPECT_EQ(sgGr.cell(2, 0), "Режим");
}

TEST_F(Decoder, QuintRecordAndUnreadableTime) {
    const TDevInfo dev = Device(tdQuint);
    decoder.setDevice(&dev);
    EXPECT_TRUE(decoder.DecodeTextRecord(0, TextReply("13.09.2020 12:26:40\r\nУставка:\r\n1 > 2")));
    EXPECT_FALSE(decoder.DecodeTextRecord(1, TextReply("вчера\r\nУставка:\r\n2 > 3")));
    EXPECT_FALSE(decoder.DecodeTextRecord(2, TextReply("позавчера")));
    EXPECT_EQ(Row(sg, 2), QStringList({"1", "вчера", "Уставка", "2", "3"}));
    EXPECT_EQ(Row(sg, 3), QStringList({"2", "позавчера", "", "", ""}));
    EXPECT_EQ(decoder.UnparsedTimeCount(), 2);
    EXPECT_EQ(decoder.FirstUnparsedTime(), "вчера");
    EXPECT_FALSE(decoder.UnparsedTimeMessage().isEmpty());
    decoder.BuildGroupView(sgGr);
    EXPECT_EQ(Row(sgGr, 1), QStringList({"Уставка", "13.09.20 12:26:40\r2", "\r3"}));
    EXPECT_EQ(scrolls, 3);

    decoder.ClearGroupData(sgGr);
    EXPECT_EQ(decoder.UnparsedTimeCount(), 0);
    EXPECT_TRUE(decoder.ListRecGroup().empty());
    EXPECT_TRUE(decoder.ListStr().empty());
    EXPECT_EQ(sgGr.rowCount(), 2);
    EXPECT_EQ(sgGr.columnCount(), 1);
}

TEST_F(Decoder, ModeRecords) {
    const TDevInfo dev = Device(tdMarlo, true);
    decoder.setDevice(&dev);
    decoder.setJournalIndex(1);
    decoder.DecodeTextRecord(0, TextReply(" 13.09.20 12:26:40 Уставка : 10 -> 20"));
    decoder.DecodeModeRecord(1, ModeReply(1600000000, 2));
    decoder.DecodeModeRecord(2, ModeReply(1599955200, 9));
    EXPECT_EQ(Row(sg, 2),
              QStringList({"1", "13.09.2020 12:26:40", "Смена режима", "", "настройка"}));
    EXPECT_EQ(Row(sg, 3), QStringList({"2", "13.09.2020", "Смена режима", "", ""}));
    const auto& groups = decoder.ListRecGroup();
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[1].addr, 2);
    EXPECT_EQ(groups[1].Name, "Смена режима");
    EXPECT_EQ(groups[1].Events[1].Value, QVariant(QString()));
}

TEST_F(Decoder, GroupViewSizeOrderAndJournalFlags) {
    TDevInfo dev = Device(tdPlain);
    decoder.setDevice(&dev);
    sgGr.setCell(0, 0, "Название");
    decoder.BuildGroupView(sgGr);
    EXPECT_EQ(sgGr.rowCount(), 2);
    EXPECT_EQ(sgGr.columnCount(), 1);
    EXPECT_EQ(sgGr.cell(1, 0), QString());

    for (int i = 0; i < 3; ++i)
        decoder.DecodeRecord(i, 90061, 4, 0, 0, i);
    decoder.DecodeRecord(3, 90061, 1, 0, 0, 0);
    decoder.BuildGroupView(sgGr);
    EXPECT_EQ(sgGr.rowCount(), 3);
    EXPECT_EQ(sgGr.columnCount(), 4);
    EXPECT_EQ(sgGr.cell(0, 0), "Название");
    EXPECT_EQ(sgGr.cell(1, 0), "Слово");
    EXPECT_EQ(sgGr.cell(1, 3), "0.00.01 01:01:01\r2");
    EXPECT_EQ(sgGr.cell(2, 0), "Коэффициент");
    EXPECT_EQ(sgGr.cell(2, 2), QString());

    // The time texts follow the journal selected when the view is built.
    dev.Journal[0].DTIsWorkTime = true;
    decoder.BuildGroupView(sgGr);
    EXPECT_EQ(sgGr.cell(1, 1), "1 01:01:01\r0");
}

TEST(RecTypeGrid, FillsFromTheDevice) {
    core::TStringGrid sgType(2, 4);
    TJournalDecoder::FillRecTypeGrid(sgType, nullptr); // no device: nothing happens
    EXPECT_EQ(sgType.rowCount(), 2);

    TDevInfo big;
    big.ListRecType = {{10, 2, "А", {}, {}},
                       {11, 7, "Б", {}, {}},
                       {12, 0, "В", {}, {}},
                       {13, 256, "Г", {}, std::vector<TValueStr>{}}};
    TJournalDecoder::FillRecTypeGrid(sgType, &big);
    EXPECT_EQ(sgType.rowCount(), 5);
    EXPECT_EQ(Row(sgType, 1), QStringList({"0", "А", "10", "sword"}));
    EXPECT_EQ(Row(sgType, 2), QStringList({"1", "Б", "11", "целое"}));
    EXPECT_EQ(Row(sgType, 3), QStringList({"2", "В", "12", "целое"}));
    EXPECT_EQ(Row(sgType, 4), QStringList({"3", "Г", "13", "список"}));

    TDevInfo small;
    small.ListRecType = {{5, 19, "Д", {}, {}}};
    TJournalDecoder::FillRecTypeGrid(sgType, &small);
    EXPECT_EQ(sgType.rowCount(), 2);
    EXPECT_EQ(Row(sgType, 1), QStringList({"0", "Д", "5", "longword"}));

    const TDevInfo none;
    TJournalDecoder::FillRecTypeGrid(sgType, &none);
    EXPECT_EQ(sgType.rowCount(), 2);
    EXPECT_EQ(Row(sgType, 1), QStringList({"", "", "", ""}));
}
