// SPDX-License-Identifier: MIT
#include "accesslib/frames/rtuframe.h"

#include <gtest/gtest.h>

using ombrel::ReplyScan;

namespace {

QByteArray hex(const char* h) {
    return QByteArray::fromHex(h);
}

QByteArray withCrc(const QByteArray& body) {
    const quint16 crc = ombrel::crc16(body);
    return body + char(crc & 0xFF) + char(crc >> 8);
}

} // namespace

TEST(RtuFrame, CrcAndAduKnownAnswers) {
    // Frames from the Modbus serial-line guide and captures of other masters.
    EXPECT_EQ(ombrel::crc16(hex("010300000001")), 0x0A84);
    EXPECT_EQ(ombrel::crc16(hex("0104000000 01")), 0xCA31);
    EXPECT_EQ(ombrel::crc16(hex("")), 0xFFFF);
    ombrel::registerJournalFunction();
    EXPECT_EQ(ombrel::buildAdu(
                  1, QModbusRequest(QModbusPdu::ReadHoldingRegisters, quint16(0), quint16(1))),
              hex("010300000001840a"));
    EXPECT_EQ(ombrel::buildAdu(
                  0x11, QModbusRequest(QModbusPdu::FunctionCode(0x41), hex("00010001000005"))),
              withCrc(hex("114100010001000005")));
}

TEST(RtuFrame, ScanFindsTheAnswerAndNothingElse) {
    ombrel::registerJournalFunction();
    const QByteArray reg = withCrc(hex("0104020102"));    // address 1, function 4, 0x0102
    const QByteArray rec = withCrc(hex("014103aabbcc"));  // function 65, three data bytes
    const QByteArray rec0 = withCrc(hex("014100"));       // function 65, no data
    const QByteArray exc = withCrc(hex("01c102"));        // function 65 exception 2
    const QByteArray other = withCrc(hex("0204020102"));  // same answer from address 2
    const QByteArray echo = withCrc(hex("010400000001")); // the request echoed (RS-485)
    QByteArray badCrc = reg;
    badCrc[badCrc.size() - 1] = char(badCrc.back() ^ 1);

    struct Case {
        const char* what;
        QByteArray bytes;
        quint8 fc;
        ReplyScan::State state;
        QByteArray pduData;
    };
    using S = ReplyScan::State;
    const Case cases[] = {
        {"register answer", reg, 4, S::Found, hex("020102")},
        {"record answer", rec, 0x41, S::Found, hex("03aabbcc")},
        {"empty record", rec0, 0x41, S::Found, hex("00")},
        {"exception", exc, 0x41, S::Found, hex("02")},
        {"noise first", hex("ff0001fe") + reg, 4, S::Found, hex("020102")},
        {"echo first", echo + reg, 4, S::Found, hex("020102")},
        {"flood after", reg + QByteArray(40000, '\xA5'), 4, S::Found, hex("020102")},
        {"flood after a record", rec + QByteArray(40000, '\xA5'), 0x41, S::Found, hex("03aabbcc")},
        {"other address only", other, 4, S::Nothing, {}},
        {"other address, then ours", other + reg, 4, S::Found, hex("020102")},
        {"other function", reg, 3, S::Nothing, {}},
        {"bad crc", badCrc, 4, S::Corrupt, {}},
        {"cut short", reg.left(4), 4, S::Incomplete, {}},
        {"byte count not yet here", rec.left(2), 0x41, S::Incomplete, {}},
        {"record cut short", rec.left(5), 0x41, S::Incomplete, {}},
        {"nothing", {}, 4, S::Nothing, {}},
    };
    for (const Case& c : cases) {
        const ReplyScan s = ombrel::scanReply(c.bytes, 1, c.fc);
        EXPECT_EQ(s.state, c.state) << c.what;
        if (c.state == S::Found) {
            EXPECT_EQ(s.pdu.data(), c.pduData) << c.what;
        }
    }
}

TEST(RtuFrame, ExceptionCodesAndGaps) {
    const std::pair<int, int> map[] = {{1, 4}, {2, 12}, {3, 5}, {4, 9}, {5, 7}, {6, 8}, {10, 14}};
    for (const auto& [exception, code] : map)
        EXPECT_EQ(ombrel::exceptionResult(exception), code) << exception;
    EXPECT_EQ(ombrel::interFrameGapUs(9600), 3646);
    EXPECT_EQ(ombrel::interFrameGapUs(19200), 1823);
    EXPECT_EQ(ombrel::interFrameGapUs(115200), 1750);
}
