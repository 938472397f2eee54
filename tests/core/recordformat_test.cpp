// SPDX-License-Identifier: MIT
#include "app/core/recordformat.h"
#include "app/core/timeformats.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

using namespace core;

namespace {

// A reply whose byte i holds i, so every field shows which bytes it was read from and in
// which order.
std::array<std::uint8_t, 256> CountingReply() {
    std::array<std::uint8_t, 256> r{};
    for (std::size_t i = 0; i < r.size(); ++i)
        r[i] = static_cast<std::uint8_t>(i);
    return r;
}

std::array<std::uint8_t, 256> TextReply(const QByteArray& cp1251, int lengthByte = -1) {
    std::array<std::uint8_t, 256> r{};
    r[0] = 0x41;
    r[1] = static_cast<std::uint8_t>(lengthByte >= 0 ? lengthByte : cp1251.size());
    for (int i = 0; i < cp1251.size() && i + 2 < 256; ++i)
        r[static_cast<std::size_t>(i) + 2] = static_cast<std::uint8_t>(cp1251[i]);
    return r;
}

} // namespace

TEST(RecordFormat, FixedLayoutOffsetsBigEndianAndHeadId) {
    struct Case {
        TTypeDev layout;
        int requestIndex;
        std::uint32_t time;
        std::uint16_t id;
        std::uint32_t before, value;
    };
    const Case cases[] = {
        {tdPlain, 0, 0x02030405, 0x0607, 0, 0x08090A0B},
        {tdPlain2, 7, 0x02030405, 0x0809, 0, 0x0A0B0C0D},
        {tdPlain2, 0, 0x02030405, 65535, 0, 0x0A0B0C0D},
        {tdPlain3, 0, 0x02030405, 0x0607, 0x08090A0B, 0x0C0D0E0F},
        {tdPlain4, 3, 0x02030405, 0x0809, 0x0E0F1011, 0x0A0B0C0D},
        {tdPlain4, 0, 0x02030405, 65535, 0x0E0F1011, 0x0A0B0C0D},
    };
    const auto reply = CountingReply();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "layout " << int(c.layout) << " index " << c.requestIndex);
        const TFixedRecord r = ParseFixedRecord(c.layout, reply, c.requestIndex);
        EXPECT_EQ(r.time, c.time);
        EXPECT_EQ(r.id, c.id);
        EXPECT_EQ(r.before, c.before);
        EXPECT_EQ(r.value, c.value);
    }
    // A buffer cut short reads the missing bytes as 0 instead of reading past its end.
    const std::uint8_t shortReply[] = {0x41, 4, 0, 0, 0x01, 0x02, 0x03};
    const TFixedRecord r = ParseFixedRecord(tdPlain4, shortReply, 1);
    EXPECT_EQ(r.time, 0x0102u);
    EXPECT_EQ(r.value, 0u);
}

TEST(RecordFormat, ValueTextsAndStoredValues) {
    const std::vector<TValueStr> strs = {
        {0, "закрыт"}, {1, "открыт"}, {2, "?"}, {-1, "минус"}, {1, "второй"}};
    struct Case {
        std::int32_t atype;
        std::uint32_t raw;
        const char* text;
        QVariant value;
    };
    const Case cases[] = {
        {dtSWord, 0x0000FFFE, "-2", QVariant(65534)},
        {dtSWord, 0xFFFF0001, "1", QVariant(-65535)},
        {dtFloat, 0x3FC00000, "1.5000000", QVariant(1.5)},
        {dtFloat, 0xBF800000, "-1.0000000", QVariant(-1.0)},
        {dtFloat, 0x461C4000, "10000.0000000", QVariant(10000.0)}, // no digit grouping
        {dtFloat, 0x7FC00000, "NaN", QVariant()},
        {dtFloat, 0x7F800000, "INF", QVariant(std::numeric_limits<double>::infinity())},
        {dtFloat, 0xFF800000, "-INF", QVariant(-std::numeric_limits<double>::infinity())},
        {dtDateTime, 1600000000, "13.09.2020 12:26:40",
         QVariant(QDateTime(QDate(2020, 9, 13), QTime(12, 26, 40), Qt::UTC))},
        {dtDateTime, 1599955200, "13.09.2020",
         QVariant(QDateTime(QDate(2020, 9, 13), QTime(0, 0), Qt::UTC))},
        {dtSByte, 0x123480FF, "-1", QVariant(-1)},
        {dtUByte, 0x123480FF, "255", QVariant(255u)},
        {dtUWord, 0xFFFF0001, "1", QVariant(-65535)},
        {dtLongWord, 0xFFFFFFFF, "4294967295", QVariant(4294967295u)},
        {dtSLongWord, 0xFFFFFFFF, "-1", QVariant(-1)},
        {0, 0x80000000, "-2147483648", QVariant(-2147483647 - 1)},
        {dtList, 1, "открыт", QVariant("открыт")}, // first entry of the ID wins
        {dtList, 0xFFFFFFFF, "минус", QVariant("минус")},
        {dtList, 5, "* нет описания для индекса [5]", QVariant("* нет описания для индекса [5]")},
        {dtList, 2, "* нет описания для индекса [2]", QVariant("* нет описания для индекса [2]")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "atype " << c.atype << " raw " << c.raw);
        const auto v = FormatValue(c.atype, c.raw, &strs);
        ASSERT_TRUE(v);
        EXPECT_EQ(v->text, QString::fromUtf8(c.text));
        if (c.atype == dtFloat && std::isnan(v->value.toDouble()) && !c.value.isValid())
            continue;
        EXPECT_EQ(v->value, c.value);
        EXPECT_EQ(v->value.metaType(), c.value.metaType());
    }
    // A list type without value list: no text, no event.
    EXPECT_FALSE(FormatValue(dtList, 1, nullptr));
}

TEST(RecordFormat, GroupValueTextsByGroupType) {
    struct Case {
        std::int32_t atype;
        QVariant value;
        const char* text;
    };
    const Case cases[] = {
        {dtSWord, QVariant(65534), "-2"},
        {dtFloat, QVariant(-1.0), "-1.0000000"},
        {dtDateTime, QVariant(QDateTime(QDate(2020, 9, 13), QTime(12, 26, 40), Qt::UTC)),
         "13.09.2020 12:26:40"},
        {dtSByte, QVariant(-1), "-1"},
        {dtUByte, QVariant(255u), "255"},
        {dtUWord, QVariant(-65535), "1"}, // the low 16 bits, as the list shows them
        {dtLongWord, QVariant(-1), "-1"}, // an ID without record type, as the list shows it
        {dtLongWord, QVariant(4294967295u), "4294967295"},
        {dtList, QVariant("открыт"), "открыт"},
        {dtSLongWord, QVariant(-5), "-5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "atype " << c.atype);
        EXPECT_EQ(GroupValueText(c.atype, c.value), QString::fromUtf8(c.text));
    }
}

TEST(RecordFormat, TypeNames) {
    const std::pair<std::int32_t, const char*> cases[] = {
        {2, "sword"},  {3, "slongword"}, {4, "float"},     {7, "целое"},    {16, "sbyte"},
        {17, "ubyte"}, {18, "uword"},    {19, "longword"}, {256, "список"}, {0, "целое"},
    };
    for (const auto& [atype, name] : cases)
        EXPECT_EQ(TypeName(atype), QString::fromUtf8(name)) << atype;
}

TEST(RecordFormat, ReplaceFirstChar) {
    EXPECT_EQ(ReplaceFirstChar("1,5,6", ',', '.'), "1.5,6");
    EXPECT_EQ(ReplaceFirstChar("15", ',', '.'), "15");
}

TEST(RecordFormat, TextSplitting) {
    struct Case {
        TTypeDev layout;
        const char* text;
        const char* time;
        const char* name;
        const char* before;
        const char* value;
    };
    const Case cases[] = {
        {tdMarlo, " 13.09.20 12:26:40 Уставка : 10 -> 20", "13.09.20 12:26:40", "Уставка", "10",
         "20"},
        // Without ":" the name is empty and the text loses its first character.
        {tdMarlo, " 13.09.20 12:26:40 Уставка 10 -> 20", "13.09.20 12:26:40", "", "ставка 10",
         "20"},
        // Without "->" the value before is empty and two characters go before the new value.
        {tdMarlo, " 13.09.20 12:26:40 Уставка : 10 20", "13.09.20 12:26:40", "Уставка", "", " 20"},
        {tdMarlo, " 13.09.20", "13.09.20", "", "", ""},
        {tdMarlo, "", "", "", "", ""},
        {tdQuint, " 13.09.2020 12:26:40 \r\n Уставка:\r\n 10 > 20 \r\nлишнее",
         "13.09.2020 12:26:40", "Уставка", "10", "20"},
        {tdQuint, "13.09.2020 12:26:40\nРежим\r1 > 2\n", "13.09.2020 12:26:40", "Режим", "1", "2"},
        // Without " > " the value before is empty and the new value loses two characters.
        {tdQuint, "t\nИмя:\n1020", "t", "Имя", "", "20"},
        // Only one colon goes.
        {tdQuint, "t\nИмя::\na > b", "t", "Имя:", "a", "b"},
        // Fewer than three lines keep what they hold.
        {tdQuint, "13.09.2020 12:26:40\nИмя:", "13.09.2020 12:26:40", "Имя", "", ""},
        {tdQuint, "", "", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const QString text = QString::fromUtf8(c.text);
        const TTextFields f = c.layout == tdMarlo ? SplitMarloText(text) : SplitQuintText(text);
        EXPECT_EQ(f.time, QString::fromUtf8(c.time));
        EXPECT_EQ(f.name, QString::fromUtf8(c.name));
        EXPECT_EQ(f.before, QString::fromUtf8(c.before));
        EXPECT_EQ(f.value, QString::fromUtf8(c.value));
    }
}

TEST(RecordFormat, TextFromReplyIsWindows1251AndStaysInsideTheBuffer) {
    // "Уставка" in windows-1251.
    const QByteArray cp = QByteArray::fromHex("d3f1f2e0e2eae0");
    EXPECT_EQ(TextFromReply(TextReply(cp)), QStringLiteral("Уставка"));
    EXPECT_EQ(TextFromReply(TextReply(cp, 3)), QStringLiteral("Уст"));
    // A length of 255 is one more than the buffer holds: 254 characters.
    const QByteArray full(254, 'x');
    EXPECT_EQ(TextFromReply(TextReply(full, 255)).size(), 254);
    // A shorter buffer than its length byte claims.
    const std::uint8_t shortReply[] = {0x41, 200, 'a', 'b'};
    EXPECT_EQ(TextFromReply(shortReply), QStringLiteral("ab"));
    EXPECT_EQ(TextFromReply(TReplyView()), QString());
}

TEST(RecordFormat, ModeTexts) {
    const char* texts[] = {"рабочий", "сервис", "настройка", "тест", ""};
    for (std::uint16_t code = 0; code < 5; ++code)
        EXPECT_EQ(ModeText(code), QString::fromUtf8(texts[code])) << code;
    EXPECT_EQ(ModeText(65535), QString());
}
