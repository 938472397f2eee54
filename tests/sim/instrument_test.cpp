// SPDX-License-Identifier: MIT
#include "sim/instrument.h"

#include "platform/codepage.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

using sim::Instrument;
using sim::Layout;

namespace {

QByteArray hex(const char* h) {
    return QByteArray::fromHex(h);
}

} // namespace

TEST(Instrument, RecordLinesGiveTheReaderByteLayout) {
    // Data bytes of the function-65 answer; the reader sees them from buffer byte 2 on.
    struct Case {
        const char* layout;
        const char* line;
        QByteArray data;
    };
    const Case cases[] = {
        {"tdPlain", "fixed time=90061 id=7 new=f:1.5", hex("00015fcd00073fc00000")},
        {"tdPlain", "fixed time=1970-01-02T01:01:01 id=0x0B new=-2", hex("00015fcd000bfffffffe")},
        {"tdPlain2", "fixed time=1 id=100 new=4294967295", hex("000000010000 0064ffffffff")},
        {"tdPlain3", "fixed time=2 id=3 before=f:-1 new=5", hex("000000020003bf80000000000005")},
        {"tdPlain4", "fixed time=3 id=4 new=t:60 before=0x10",
         hex("0000000300000004 0000003c00000010")},
        {"tdQuint", "mode time=2020-09-13T12:26:40 code=3", hex("5f5e10000003")},
        {"tdMarlo", "text \"a\\r\\n\\\"Я\\\"\"", hex("610d0a22df22")},
        {"tdPlain", "raw 00 ff 10", hex("00ff10")},
        {"tdPlain", "raw", QByteArray()},
    };
    for (const Case& c : cases) {
        QString error;
        const auto inst = Instrument::parse(
            QStringLiteral("journal 4 %1\n%2\n").arg(c.layout, QString::fromUtf8(c.line)), &error);
        ASSERT_TRUE(inst) << c.line << ": " << error.toStdString();
        ASSERT_EQ(inst->journal(4)->records.size(), 1) << c.line;
        EXPECT_EQ(inst->journal(4)->records[0].toHex(), c.data.toHex()) << c.line;
    }
}

TEST(Instrument, BadLinesAreRefusedWithTheirLineNumber) {
    const char* bad[] = {
        "fixed time=1 id=1 new=1",              // before any journal
        "journal 1 tdNone",                     // unknown layout
        "journal 1 tdPlain\njournal 1 tdPlain", // twice
        "journal 1 tdPlain\nfixed time=1 id=70000 new=1",
        "journal 1 tdPlain\nfixed time=x id=1 new=1",
        "journal 1 tdPlain\ntext \"unterminated",
        "journal 1 tdPlain\nraw 0",
        "register 200001 = 1",
        "register 300001 = 70000",
        "address = 0",
        "fault explode",
        "fault exception",       // needs a code
        "fault crc record=1",    // needs journal:index
        "fault crc register=12", // needs a reference number
        "bogus line",
    };
    for (const char* text : bad) {
        QString error;
        EXPECT_FALSE(Instrument::parse(QString::fromUtf8(text), &error)) << text;
        EXPECT_TRUE(error.contains(QRegularExpression("^\\d+: "))) << error.toStdString();
    }
    QString error;
    EXPECT_FALSE(
        Instrument::parse(QString(300, u'x').prepend("journal 1 tdMarlo\ntext \"") + u'"', &error));
}

TEST(Instrument, FaultsRegistersAndSyntheticJournals) {
    QString error;
    const auto inst = Instrument::parse(QStringLiteral(R"(
        name = "Прибор 7"
        address = 17
        register 300005 = 65535
        register 400010 = -1
        journal 2 tdPlain4
        synthetic 3 ids=5,6
        journal 3 tdQuint
        synthetic 2
        synthetic 2 modes
        fault crc record=2:1 times=1
        fault exception code=6 register=400010
        fault delay ms=40
    )"),
                                        &error);
    ASSERT_TRUE(inst) << error.toStdString();
    EXPECT_EQ(inst->name, "Прибор 7");
    EXPECT_EQ(inst->address, 17);
    EXPECT_EQ(inst->inputRegisters.value(4), 65535);
    EXPECT_EQ(inst->holdingRegisters.value(9), 65535);
    const sim::Journal* j2 = inst->journal(2);
    ASSERT_EQ(j2->records.size(), 3);
    EXPECT_EQ(j2->records[1].toHex(),
              Instrument::fixedRecord(Layout::Plain4, 1600000060, 6, 2, 1).toHex());
    const sim::Journal* j3 = inst->journal(3);
    ASSERT_EQ(j3->records.size(), 4);
    EXPECT_EQ(platform::fromCp1251(j3->records[1]),
              QStringLiteral("13.09.2020 12:27:40\r\nКоррекция:\r\n1 > 2"));
    EXPECT_EQ(j3->records[3].toHex(), Instrument::modeRecord(1600000180, 3).toHex());

    ASSERT_EQ(inst->faults.size(), 3);
    EXPECT_EQ(inst->faults[0].kind, sim::Fault::Kind::BadCrc);
    EXPECT_EQ(inst->faults[0].function, 65);
    EXPECT_EQ(inst->faults[0].journal, 2);
    EXPECT_EQ(inst->faults[0].record, 1);
    EXPECT_EQ(inst->faults[0].times, 1);
    EXPECT_EQ(inst->faults[1].function, 3);
    EXPECT_EQ(inst->faults[1].reg, 9);
    EXPECT_EQ(inst->faults[1].value, 6);
    EXPECT_EQ(inst->faults[2].function, 0);
    EXPECT_EQ(inst->faults[2].times, -1);
}

// Every device of the sample catalogue has a content file whose journals and registers are the
// ones the catalogue names, with as many records as the count registers promise.
TEST(Instrument, ContentFilesMatchTheSampleCatalogue) {
    const QDir devices(QStringLiteral(JOURNAL_SOURCE_DIR "/examples/devices"));
    const QStringList inis = devices.entryList({"*.ini"}, QDir::Files);
    ASSERT_FALSE(inis.isEmpty());
    for (const QString& ini : inis) {
        SCOPED_TRACE(ini.toStdString());
        QFile f(devices.filePath(ini));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        QMap<QString, QString> keys;
        bool settings = false;
        for (QString line : platform::fromCp1251(f.readAll()).split('\n')) {
            line = line.trimmed();
            if (line.startsWith('['))
                settings = line.compare("[settings]", Qt::CaseInsensitive) == 0;
            const qsizetype eq = line.indexOf('=');
            if (settings && eq > 0 && !line.startsWith(';'))
                keys.insert(line.left(eq).trimmed().toLower(), line.mid(eq + 1).trimmed());
        }
        QString error;
        const QString content = QStringLiteral(JOURNAL_SOURCE_DIR "/sim/content/") +
                                QFileInfo(ini).completeBaseName() + ".sim";
        const auto inst = Instrument::fromFile(content, &error);
        ASSERT_TRUE(inst) << error.toStdString();
        EXPECT_EQ(inst->name, keys.value("name"));

        auto number = [](const QString& s) {
            return s.startsWith('$') ? s.mid(1).toInt(nullptr, 16) : s.toInt(nullptr, 0);
        };
        auto reg = [&](int ref) -> std::optional<int> {
            const auto& table = ref >= 400001 ? inst->holdingRegisters : inst->inputRegisters;
            const int a = ref - (ref >= 400001 ? 400001 : 300001);
            return table.contains(a) ? std::optional(int(table.value(a))) : std::nullopt;
        };
        const int count = keys.value("archtypecount").toInt();
        for (int k = 1; k <= count; ++k) {
            SCOPED_TRACE(k);
            const auto j = inst->journal(number(keys.value(QStringLiteral("archnum%1").arg(k))));
            ASSERT_NE(j, nullptr);
            const int layout = keys.value(QStringLiteral("archstandart%1").arg(k)).toInt();
            EXPECT_EQ(int(j->layout), layout);
            const auto c = reg(number(keys.value(QStringLiteral("archreg%1").arg(k))));
            ASSERT_TRUE(c) << "count register missing";
            const bool cycle = keys.value(QStringLiteral("archcycle%1").arg(k)) == "1";
            const int capacity = number(keys.value(QStringLiteral("archcountrec%1").arg(k)));
            const int extra = layout == 2 || layout == 4 ? 1 : 0;
            if (cycle &&
                reg(number(keys.value(QStringLiteral("archregoverflow%1").arg(k)))).value_or(0) > 0)
                EXPECT_EQ(j->records.size(), capacity);
            else
                EXPECT_EQ(j->records.size(), *c + extra);
        }
    }
}
