// SPDX-License-Identifier: MIT
#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace {

struct CodePageCase {
    QByteArray bytes;
    QString text;
};

TEST(CodePage, KnownAnswers) {
    const CodePageCase cases[] = {
        {QByteArray("abc 123"), QStringLiteral("abc 123")},
        {QByteArray("\xCF\xF0\xE8\xE1\xEE\xF0"), QStringLiteral("Прибор")},
        {QByteArray("\xA8\xB8"), QStringLiteral("Ёё")},
        {QByteArray("\xB9\xA0\x96"), QString::fromUtf8("№\u00A0\u2013")},
        {QByteArray("\x88"), QString::fromUtf8("€")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::fromCp1251(c.bytes), c.text) << c.bytes.toHex().constData();
        EXPECT_EQ(platform::toCp1251(c.text), c.bytes) << c.text.toStdString();
    }
}

TEST(CodePage, EveryByteRoundTripsExceptTheUnassignedOne) {
    for (int b = 0; b < 256; ++b) {
        const QByteArray one(1, static_cast<char>(b));
        const QString decoded = platform::fromCp1251(one);
        ASSERT_EQ(decoded.size(), 1);
        if (b == 0x98)
            EXPECT_EQ(decoded.at(0), QChar(0xFFFD));
        else
            EXPECT_EQ(platform::toCp1251(decoded), one) << b;
    }
    EXPECT_EQ(platform::toCp1251(QStringLiteral("日")), QByteArray("?"));
}

} // namespace
