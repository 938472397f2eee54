// SPDX-License-Identifier: MIT
#include "comm/commtypes.h"
#include "comm/ipc/framecodec.h"

#include <QDateTime>
#include <QPointF>
#include <QtEndian>

#include <gtest/gtest.h>

using namespace comm::ipc;

namespace {

QByteArray withLength(const QByteArray& payload) {
    QByteArray b(4, '\0');
    qToBigEndian<quint32>(quint32(payload.size()), b.data());
    return b + payload;
}

} // namespace

TEST(FrameCodec, ValuesKeepTheirExactTypes) {
    const QVariantList message{
        QVariant::fromValue(quint8(200)),
        QVariant::fromValue(quint16(65535)),
        QVariant::fromValue(qint32(-5)),
        QVariant::fromValue(quint32(4000000000u)),
        QVariant(true),
        QVariant(QDateTime(QDate(2023, 6, 15), QTime(14, 5, 9))),
        QVariant(QStringLiteral("Прибор")),
        QVariant(),
        QVariant::fromValue(qint16(-2)),
        QVariant::fromValue(1.5f),
        QVariant(QByteArray("\x00\x01", 2)),
        QVariant(QVariantList{19, 18, QVariantList{QVariant::fromValue(quint8(1))}}),
    };
    FrameReader reader;
    reader.append(encodeFrame(message));
    QVariantList out;
    ASSERT_EQ(reader.next(out), FrameReader::Status::Message);
    ASSERT_EQ(out.size(), message.size());
    for (int i = 0; i < message.size(); ++i) {
        EXPECT_EQ(out[i].metaType(), message[i].metaType()) << i;
        EXPECT_EQ(out[i], message[i]) << i;
    }
    EXPECT_EQ(reader.next(out), FrameReader::Status::NeedMore);
}

TEST(FrameCodec, SplitAndJoinedFrames) {
    const QByteArray a = encodeFrame({1, 2}), b = encodeFrame({QStringLiteral("x")});
    const QByteArray stream = a + b;
    FrameReader reader;
    QVariantList out;
    int messages = 0;
    for (char c : stream) { // one byte at a time
        reader.append(QByteArray(1, c));
        while (reader.next(out) == FrameReader::Status::Message)
            ++messages;
    }
    EXPECT_EQ(messages, 2);
    EXPECT_EQ(out, QVariantList{QStringLiteral("x")});
}

TEST(FrameCodec, BrokenStreams) {
    QByteArray deep;
    for (int i = 0; i < 40; ++i)
        deep += QByteArray("\x0f\x00\x00\x00\x01", 5); // list of one list of one ...
    deep += QByteArray(1, '\0');
    const struct {
        const char* what;
        QByteArray bytes;
    } cases[] = {
        {"oversized length", QByteArray("\x7f\xff\xff\xff", 4)},
        {"just over the limit",
         [] {
             QByteArray b(4, '\0');
             qToBigEndian<quint32>(kMaxFramePayload + 1, b.data());
             return b;
         }()},
        {"unknown tag", withLength(QByteArray("\x63", 1))},
        {"not a list", withLength(QByteArray("\x06\x00\x00\x00\x01", 5))},
        {"list count beyond the payload", withLength(QByteArray("\x0f\xff\xff\xff\xff", 5))},
        {"truncated value", withLength(QByteArray("\x0f\x00\x00\x00\x01\x06\x00", 7))},
        {"trailing bytes", withLength(QByteArray("\x0f\x00\x00\x00\x00\x00", 6))},
        {"string longer than the payload",
         withLength(QByteArray("\x0f\x00\x00\x00\x01\x0c\x00\x10\x00\x00", 10))},
        {"nesting too deep", withLength(deep)},
        {"empty payload", withLength(QByteArray())},
    };
    for (const auto& c : cases) {
        FrameReader reader;
        reader.append(c.bytes);
        QVariantList out;
        EXPECT_EQ(reader.next(out), FrameReader::Status::Broken) << c.what;
        EXPECT_FALSE(reader.errorText().isEmpty()) << c.what;
    }
}

TEST(FrameCodec, RefusesTypesThatCannotTravel) {
    EXPECT_THROW(encodeFrame(QVariantList{QVariant(QPointF(1, 2))}), comm::ServerError);
    EXPECT_FALSE(isTransportable(QVariant(QVariantMap{{"a", 1}})));
    EXPECT_TRUE(isTransportable(QVariant(QStringList{"a"})));
}
