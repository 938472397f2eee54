// SPDX-License-Identifier: MIT
#include "server/modbusext.h"
#include "server/modbustask.h"

#include <gtest/gtest.h>

using namespace server;

namespace {

QByteArray hex(const char* text) {
    return QByteArray::fromHex(text);
}

QString typeName(const QVariant& v) {
    return QString::fromLatin1(v.metaType().name());
}

} // namespace

TEST(TaskPlan, RequestsForTasks) {
    MasterSettings s;
    s.deviceAddress = 3;
    MasterSettings optimal = s;
    optimal.optimalUseFunction = true;
    const auto u8 = [](int v) { return QVariant::fromValue(quint8(v)); };
    const auto u16 = [](int v) { return QVariant::fromValue(quint16(v)); };
    const struct {
        const char* what;
        QVariantList task;
        MasterSettings settings;
        int address;
        int function;
        const char* data; // request data in hex
    } cases[] = {
        {"holding uword", {u8(2), 1000, 0, 9, 18, 1}, s, 3, 3, "00090001"},
        {"input longword x2", {u8(4), 1, 0, 4, 19, 2}, s, 3, 4, "00040004"},
        {"input record fields", {u8(4), 1, 0, 0, QVariantList{19, 18, 19}, 1}, s, 3, 4, "00000005"},
        {"bytes take words", {u8(2), 1, 0, 0, 17, 3}, s, 3, 3, "00000003"},
        {"coils", {u8(5), 1, 0, 16, 10}, s, 3, 1, "0010000a"},
        {"discrete inputs", {u8(7), 1, 0, 1, 1}, s, 3, 2, "00010001"},
        {"write one register", {u8(3), 1, 0, 4, u16(0x1234)}, s, 3, 16, "000400010212 34"},
        {"write one register, optimal", {u8(3), 1, 0, 4, u16(0x1234)}, optimal, 3, 6, "00041234"},
        {"write longword",
         {u8(3), 1, 0, 4, QVariant::fromValue(quint32(0x01020304))},
         s,
         3,
         16,
         "000400020401020304"},
        {"write coils",
         {u8(6), 1, 0, 2, QVariantList{true, false, true}},
         s,
         3,
         15,
         "000200030105"},
        {"write coil, optimal", {u8(6), 1, 0, 2, true}, optimal, 3, 5, "0002ff00"},
        {"device name", {u8(1), 1}, s, 3, 17, ""},
        {"status", {u8(10), 1, 0}, s, 3, 7, ""},
        {"diagnostics", {u8(11), 1, 0, 0, 0xA537}, s, 3, 8, "0000a537"},
        {"journal record",
         {u8(9), 1, 2, 1, 0x0102, QVariantList{19, 18, 19}},
         s,
         3,
         65,
         "00020001000102"},
        {"exchange",
         {u8(0), 1, 7, 65, 0, QVariantList{0, 1, 0, 1, 0, 0, 5}},
         s,
         7,
         65,
         "00010001000005"},
    };
    for (const auto& c : cases) {
        const TaskPlan p = planTask(c.task, c.settings);
        EXPECT_EQ(p.result, rcOk) << c.what;
        EXPECT_EQ(p.address, c.address) << c.what;
        EXPECT_EQ(p.function, c.function) << c.what;
        EXPECT_EQ(int(p.request.functionCode()), c.function) << c.what;
        EXPECT_EQ(p.request.data().toHex(), hex(c.data).toHex()) << c.what;
    }
}

TEST(TaskPlan, RefusedTasks) {
    MasterSettings s;
    MasterSettings badAddress;
    badAddress.deviceAddress = 300;
    const auto u8 = [](int v) { return QVariant::fromValue(quint8(v)); };
    const struct {
        const char* what;
        QVariant task;
        MasterSettings settings;
        qint32 result;
    } cases[] = {
        {"not an array", QVariant(5), s, rcIllegalData},
        {"too short", QVariantList{u8(2)}, s, rcIllegalData},
        {"time archive", QVariantList{u8(8), 1, 1, 1, 23, 6, 15, 14, 5, 9, 19}, s, rcBadFunction},
        {"time archive by date", QVariantList{u8(12), 1, 1, 1, QVariant(), 19, u8(0), 0}, s,
         rcBadFunction},
        {"unknown opcode", QVariantList{u8(40), 1}, s, rcBadFunction},
        {"unknown type code", QVariantList{u8(2), 1, 0, 0, 99, 1}, s, rcBadDataType},
        {"text in registers", QVariantList{u8(2), 1, 0, 0, 8, 1}, s, rcBadDataType},
        {"too many registers", QVariantList{u8(2), 1, 0, 0, 18, 126}, s, rcIllegalData},
        {"negative register", QVariantList{u8(4), 1, 0, -1, 18, 1}, s, rcIllegalData},
        {"register beyond 65535", QVariantList{u8(4), 1, 0, 65535, 19, 1}, s, rcIllegalData},
        {"string to write", QVariantList{u8(3), 1, 0, 0, QStringLiteral("x")}, s, rcBadDataType},
        {"device address", QVariantList{u8(2), 1, 0, 0, 18, 1}, badAddress, rcBadAddress},
        {"exchange function 0", QVariantList{u8(0), 1, 1, 0, 0, QVariant()}, s, rcBadFunction},
        {"exchange byte 256", QVariantList{u8(0), 1, 1, 3, 0, QVariantList{256}}, s, rcIllegalData},
    };
    for (const auto& c : cases)
        EXPECT_EQ(planTask(c.task, c.settings).result, c.result) << c.what;
}

TEST(TaskPlan, DecodesReplies) {
    MasterSettings s;
    const auto u8 = [](int v) { return QVariant::fromValue(quint8(v)); };
    const QVariant record = QVariantList{19, 18, 19};
    const struct {
        const char* what;
        QVariantList task;
        int function;
        const char* reply; // response data in hex
        const char* value; // expected value as text
        const char* types; // expected element type names, comma separated
        qint32 result;
    } cases[] = {
        {"uword", {u8(2), 1, 0, 9, 18, 1}, 3, "020078", "120", "ushort", rcOk},
        {"two sword", {u8(4), 1, 0, 0, 2, 2}, 4, "04fffe0003", "-2,3", "short,short", rcOk},
        {"record by registers",
         {u8(4), 1, 0, 0, record, 1},
         4,
         "0a64b0c2d000078000ffff",
         "1689305808,7,2147549183",
         "uint,ushort,uint",
         rcOk},
        {"ubyte sits low in its word", {u8(2), 1, 0, 0, 17, 1}, 3, "0200fe", "254", "uchar", rcOk},
        {"float", {u8(2), 1, 0, 0, 4, 1}, 3, "043fc00000", "1.5", "float", rcOk},
        {"short reply", {u8(2), 1, 0, 0, 19, 1}, 3, "020001", "", "", rcLengthMismatch},
        {"coils", {u8(5), 1, 0, 0, 3}, 1, "0105", "true,false,true", "bool,bool,bool", rcOk},
        {"journal record",
         {u8(9), 1, 1, 1, 0, record},
         65,
         "0a64b0c2d00007f0000001",
         "1689305808,7,4026531841",
         "uint,ushort,uint",
         rcOk},
        {"journal record too short",
         {u8(9), 1, 1, 1, 0, record},
         65,
         "0464b0c2d0",
         "",
         "",
         rcLengthMismatch},
        {"journal text",
         {u8(9), 1, 1, 1, 0, QVariantList{19, 8}},
         65,
         "0664b0c2d04f4b",
         "1689305808,OK",
         "uint,QString",
         rcOk},
        {"journal raw", {u8(9), 1, 1, 1, 0, QVariant()}, 65, "020102", "1,2", "uchar,uchar", rcOk},
        {"device name", {u8(1), 1}, 17, "0701ff4445563100", "DEV1", "QString", rcOk},
        {"device name without identifier", {u8(1), 1}, 17, "0101", "", "", rcLengthMismatch},
        {"device name count wrong", {u8(1), 1}, 17, "0901ff44", "", "", rcLengthMismatch},
        {"status", {u8(10), 1, 0}, 7, "a3", "163", "uchar", rcOk},
        {"exchange",
         {u8(0), 1, 1, 3, 0, QVariantList{0, 0, 0, 1}},
         3,
         "020102",
         "2,1,2",
         "uchar,uchar,uchar",
         rcOk},
    };
    for (const auto& c : cases) {
        const TaskPlan p = planTask(c.task, s);
        ASSERT_EQ(p.result, rcOk) << c.what;
        const TaskOutcome o =
            decodeReply(p, QModbusResponse(QModbusPdu::FunctionCode(c.function), hex(c.reply)));
        EXPECT_EQ(o.result, c.result) << c.what;
        if (c.result != rcOk)
            continue;
        const QVariantList items = o.value.metaType().id() == QMetaType::QVariantList
                                       ? o.value.toList()
                                       : QVariantList{o.value};
        QStringList values, types;
        for (const QVariant& v : items) {
            values << (v.metaType().id() == QMetaType::UChar ? QString::number(v.toUInt())
                                                             : v.toString());
            types << typeName(v);
        }
        EXPECT_EQ(values.join(','), QString::fromUtf8(c.value)) << c.what;
        EXPECT_EQ(types.join(','), QString::fromUtf8(c.types)) << c.what;
    }
}

TEST(TaskPlan, AnswerArrayLayout) {
    MasterSettings s;
    s.deviceAddress = 4;
    const TaskPlan p = planTask(QVariantList{QVariant::fromValue(quint8(2)), 77, 0, 9, 18, 1}, s);
    const QVariantList a = answerArray(p, TaskOutcome{QVariant::fromValue(quint16(5)), 0});
    ASSERT_EQ(a.size(), 6);
    EXPECT_EQ(a[0].metaType().id(), QMetaType::UChar);
    EXPECT_EQ(a[1], QVariant(77));
    EXPECT_EQ(a[2], QVariant(4));
    EXPECT_EQ(a[3], QVariant(3));
    EXPECT_EQ(a[4].metaType().id(), QMetaType::UShort);
    EXPECT_EQ(a[5].metaType().id(), QMetaType::Int);
}

TEST(TaskPlan, ResultCodesOfFailures) {
    const struct {
        QModbusDevice::Error error;
        int exception;
        qint32 result;
    } cases[] = {
        {QModbusDevice::TimeoutError, 0, rcNoAnswer},
        {QModbusDevice::ProtocolError, QModbusPdu::IllegalFunction, rcIllegalFunction},
        {QModbusDevice::ProtocolError, QModbusPdu::IllegalDataAddress, rcBadAddress},
        {QModbusDevice::ProtocolError, QModbusPdu::IllegalDataValue, rcIllegalData},
        {QModbusDevice::ProtocolError, QModbusPdu::ServerDeviceFailure, rcCannotExecute},
        {QModbusDevice::ProtocolError, QModbusPdu::Acknowledge, rcAcknowledge},
        {QModbusDevice::ProtocolError, QModbusPdu::ServerDeviceBusy, rcBusy},
        {QModbusDevice::ProtocolError, 0x0B, rcUnknown},
        {QModbusDevice::ReplyAbortedError, 0, rcChannelClosed},
        {QModbusDevice::ConnectionError, 0, rcChannelClosed},
        {QModbusDevice::InvalidResponseError, 0, rcLengthMismatch},
    };
    for (const auto& c : cases)
        EXPECT_EQ(resultForError(c.error, c.exception), c.result) << int(c.error) << c.exception;
}

TEST(Settings, ParsesAndRefuses) {
    MasterSettings m;
    EXPECT_TRUE(parseMasterSettings(QVariantList{QVariant::fromValue(quint8(0)), 5,
                                                 QVariant::fromValue(quint8(0)),
                                                 QVariant::fromValue(quint8(2)), 3, false, true},
                                    m, nullptr));
    EXPECT_EQ(m.deviceAddress, 5);
    EXPECT_EQ(m.parity, 2);
    EXPECT_FALSE(m.adjustToWord);
    EXPECT_TRUE(m.optimalUseFunction);
    EXPECT_FALSE(parseMasterSettings(QVariantList{0, 1}, m, nullptr));

    TransportSettings t;
    QString why;
    EXPECT_TRUE(parseTransportSettings(QVariantList{0, "COM5", 8u, 0u, 100, 10, 0}, t, &why));
    EXPECT_EQ(baudRateForOrdinal(t.speed), 600);
    EXPECT_FALSE(parseTransportSettings(QVariantList{0, "COM5", 9u, 0u, 100, 10, 0}, t, &why));
    EXPECT_FALSE(why.isEmpty());
    EXPECT_FALSE(parseTransportSettings(QVariantList{0, "COM5", 4u, 0u, "x", 10, 0}, t, &why));
}

TEST(JournalFunction, DataSizeCalculators) {
    registerJournalFunction();
    EXPECT_EQ(QModbusRequest::calculateDataSize(
                  QModbusRequest(QModbusPdu::FunctionCode(kJournalFunction), QByteArray(7, 0))),
              7);
    EXPECT_EQ(QModbusResponse::calculateDataSize(
                  QModbusResponse(QModbusPdu::FunctionCode(kJournalFunction), hex("0a"))),
              11);
    EXPECT_EQ(QModbusResponse::calculateDataSize(
                  QModbusResponse(QModbusPdu::FunctionCode(kJournalFunction), QByteArray())),
              -1);
    EXPECT_EQ(QModbusResponse::calculateDataSize(QModbusExceptionResponse(
                  QModbusPdu::FunctionCode(kJournalFunction), QModbusPdu::IllegalDataAddress)),
              1);
}
