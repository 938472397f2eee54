// SPDX-License-Identifier: MIT
#include "app/core/catalogue.h"
#include "platform/codepage.h"
#include "platform/inifile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <set>

#include "tests/qstringprinter.h"

#include <gtest/gtest.h>

namespace {

const QChar kNbsp(0x00A0);

// A program directory with a main.ini and device files, written in windows-1251.
class CatalogueDir {
public:
    CatalogueDir() { EXPECT_TRUE(m_dir.isValid()); }

    void write(const QString& name, const QString& text) {
        const QString path = m_dir.filePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(platform::toCp1251(text));
    }
    QByteArray read(const QString& name) const {
        QFile f(m_dir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }

    core::TCatalogue load() const {
        core::TCatalogue c;
        c.Load(path());
        return c;
    }

private:
    QTemporaryDir m_dir;
};

TEST(Catalogue, DeviceListEndsAtTheFirstMissingOrQqqEntry) {
    // A CountDev that names a device whose key is missing is reported; "qqq" ends the list on
    // purpose.
    const struct {
        const char* what;
        const char* main;
        std::size_t devices;
        const char* report;
    } cases[] = {
        {"CountDev=3, Dev2 missing", "[Main]\r\nCountDev=3\r\nDev1=a.ini\r\nDev3=c.ini\r\n", 1,
         "CountDev=3, но ключа Dev2 в нем нет; загружено приборов: 1."},
        {"Dev2=qqq", "[Main]\r\nCountDev=3\r\nDev1=a.ini\r\nDev2=qqq\r\nDev3=c.ini\r\n", 1,
         nullptr},
        {"CountDev below the keys", "[Main]\r\nCountDev=1\r\nDev1=a.ini\r\nDev2=c.ini\r\n", 1,
         nullptr},
        {"all present", "[main]\r\ncountdev=$2\r\ndev1=a.ini\r\nDEV2=c.ini\r\n", 2, nullptr},
        {"CountDev not an integer", "[Main]\r\nCountDev=two\r\nDev1=a.ini\r\n", 0, nullptr},
        {"no main.ini", nullptr, 0, nullptr},
    };
    for (const auto& c : cases) {
        CatalogueDir dir;
        if (c.main)
            dir.write("main.ini", QString::fromUtf8(c.main));
        dir.write("a.ini", QString::fromUtf8("[settings]\r\nname=Прибор А\r\n"));
        dir.write("c.ini", QString::fromUtf8("[settings]\r\nname=Прибор В\r\n"));
        const core::TCatalogue cat = dir.load();
        ASSERT_EQ(cat.ListDev.size(), c.devices) << c.what;
        if (c.devices > 0) {
            EXPECT_EQ(cat.ListDev[0]->Name, QString::fromUtf8("Прибор А")) << c.what;
        }
        if (c.report) {
            ASSERT_EQ(cat.Errors.size(), 1) << c.what;
            EXPECT_TRUE(cat.Errors[0].contains(QString::fromUtf8(c.report))) << c.what;
        } else {
            EXPECT_TRUE(cat.Errors.isEmpty()) << c.what;
        }
    }
}

// A main.ini that reads as empty, binary or cut short is reported once; what it holds loads.
TEST(Catalogue, DamagedMainIniIsReported) {
    const struct {
        const char* what;
        QByteArray bytes;
        const char* report; // nullptr: none
    } cases[] = {
        {"empty", "", "пуст"},
        {"blank lines only", "\r\n \r\n", "пуст"},
        {"NUL bytes", QByteArrayLiteral("[Main]\r\nCountDev=1\r\nDev1=a.ini\r\n\0\0\0"),
         "двоичные данные"},
        {"cut in a section name", "[Main]\r\nCountDev=1\r\nDev1=a.ini\r\n[Sett", "обрезан"},
        {"UTF-16 with an odd byte", QByteArrayLiteral("\xFF\xFE[\0M\0]\0\n"), "обрезан"},
        {"no line end after the last key", "[Main]\r\nCountDev=1\r\nDev1=a.ini", nullptr},
    };
    for (const auto& c : cases) {
        CatalogueDir dir;
        QFile f(dir.filePath("main.ini"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(c.bytes);
        f.close();
        dir.write("a.ini", QString::fromUtf8("[settings]\r\nname=Прибор А\r\n"));
        const core::TCatalogue cat = dir.load();
        if (!c.report) {
            EXPECT_TRUE(cat.Errors.isEmpty()) << c.what;
            continue;
        }
        ASSERT_EQ(cat.Errors.size(), 1) << c.what;
        EXPECT_TRUE(cat.Errors[0].contains(QString::fromUtf8(c.report))) << c.what;
        EXPECT_TRUE(cat.Errors[0].contains(dir.filePath("main.ini"))) << c.what;
    }
}

TEST(Catalogue, MissingDeviceFileGivesAnEmptyDevice) {
    CatalogueDir dir;
    dir.write("main.ini", "[Main]\r\nCountDev=1\r\nDev1=devices/none.ini\r\n");
    const core::TCatalogue cat = dir.load();
    ASSERT_EQ(cat.ListDev.size(), 1u);
    EXPECT_EQ(cat.ListDev[0]->Name, QString::fromUtf8("прибор"));
    EXPECT_EQ(cat.ListDev[0]->CountJournals, 0);
    EXPECT_TRUE(cat.ListDev[0]->ListRecType.empty());
}

TEST(Catalogue, WindowsFileNamesResolve) {
    CatalogueDir dir;
    dir.write("main.ini",
              "[Main]\r\nCountDev=2\r\nDev1=devices\\sub\\a.ini\r\nDev2=Devices\\SUB\\B.INI\r\n");
    dir.write("devices/sub/a.ini", "[settings]\r\nname=A\r\n");
    dir.write("devices/sub/b.ini", "[settings]\r\nname=B\r\n");
    const core::TCatalogue cat = dir.load();
    ASSERT_EQ(cat.ListDev.size(), 2u);
    EXPECT_EQ(cat.ListDev[0]->Name, QStringLiteral("A"));
    EXPECT_EQ(cat.ListDev[1]->Name, QStringLiteral("B"));
}

// An installed program: the user's main.ini in the configuration folder names device files of
// the installation and of the user's own; the user's own are beside main.ini and win.
TEST(Catalogue, UsersOwnDeviceFilesBesideMainIniComeFirst) {
    CatalogueDir installed;
    CatalogueDir user;
    installed.write("devices/rt10.ini", "[settings]\r\nname=installed rt10\r\n");
    installed.write("devices/kp3.ini", "[settings]\r\nname=installed kp3\r\n");
    user.write("devices/kp3.ini", "[settings]\r\nname=own kp3\r\n");
    user.write("mine.ini", "[settings]\r\nname=own device\r\n");
    user.write("Upper/Case.ini", "[settings]\r\nname=own, case differs\r\n");
    const struct {
        const char* entry;
        const char* name;
    } cases[] = {
        {"devices/rt10.ini", "installed rt10"},
        {"devices/kp3.ini", "own kp3"},
        {"mine.ini", "own device"},
        {"upper\\case.INI", "own, case differs"},
        {"none.ini", "прибор"},
    };
    QString main = QStringLiteral("[Main]\r\nCountDev=%1\r\n").arg(std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i)
        main += QStringLiteral("Dev%1=%2\r\n").arg(i + 1).arg(QString::fromUtf8(cases[i].entry));
    user.write("main.ini", main);

    core::TCatalogue cat;
    cat.Load(user.filePath("main.ini"), installed.path());
    ASSERT_EQ(cat.ListDev.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cat.ListDev[i]->Name, QString::fromUtf8(cases[i].name)) << cases[i].entry;
}

TEST(Catalogue, JournalKeys) {
    const platform::IniFile f(platform::toCp1251(QString::fromUtf8(
        "[settings]\r\nname=РТ\r\narchtypecount=3\r\n"
        "ArchCountRec1=0x1F4\r\nArchNum1=$10\r\nArchReg1=300001\r\nArchName1=Журнал\r\n"
        "StartTime1=1970\r\nArchCycle1=1\r\nArchIsWorkTime1=0\r\nArchRegOverFlow1=400006\r\n"
        "ArchStandart1=257\r\n"
        "ArchCountRec2=abc\r\nStartTime2=1\r\nArchCycle2=true\r\nArchIsWorkTime2=5\r\n"
        "ArchStandart2=4\r\n"
        "veraa=1\r\nverbb=2\r\nvercc=x\r\nverdd=$FF\r\n")));
    TDevInfo dev;
    dev.Journal[3].Name = QStringLiteral("untouched");
    core::ReadDevice(f, dev, QStringLiteral("d.ini"), nullptr);
    EXPECT_EQ(dev.Name, QString::fromUtf8("РТ"));
    EXPECT_EQ(dev.CountJournals, 3);
    const TJournalInfo& j1 = dev.Journal[0];
    EXPECT_EQ(j1.CountRec, 500);
    EXPECT_EQ(j1.Num, 16);
    EXPECT_EQ(j1.Reg, 300001);
    EXPECT_EQ(j1.Name, QString::fromUtf8("Журнал"));
    EXPECT_TRUE(j1.StartTime);
    EXPECT_TRUE(j1.Cycle);
    EXPECT_FALSE(j1.DTIsWorkTime);
    EXPECT_EQ(j1.RegOverflow, 400006);
    EXPECT_EQ(j1.typedev, tdMarlo); // low 8 bits of 257
    const TJournalInfo& j2 = dev.Journal[1];
    EXPECT_EQ(j2.CountRec, -1);
    EXPECT_FALSE(j2.StartTime);
    EXPECT_FALSE(j2.Cycle); // "true" is not an integer
    EXPECT_TRUE(j2.DTIsWorkTime);
    EXPECT_EQ(j2.typedev, tdPlain4);
    const TJournalInfo& j3 = dev.Journal[2]; // all defaults
    EXPECT_EQ(j3.CountRec, -1);
    EXPECT_EQ(j3.Num, -1);
    EXPECT_EQ(j3.Reg, -1);
    EXPECT_EQ(j3.RegOverflow, -1);
    EXPECT_EQ(j3.Name, QStringLiteral("???"));
    EXPECT_EQ(j3.typedev, tdPlain);
    EXPECT_EQ(dev.Journal[3].Name, QStringLiteral("untouched"));
    EXPECT_EQ(dev.v1, 1);
    EXPECT_EQ(dev.v2, 2);
    EXPECT_EQ(dev.v3, 0);
    EXPECT_EQ(dev.v4, 255);
}

TEST(Catalogue, JournalCountIsLimitedToSix) {
    QString text = QStringLiteral("[settings]\r\narchtypecount=9\r\n");
    for (int j = 1; j <= 9; ++j)
        text += QStringLiteral("ArchName%1=J%1\r\n").arg(j);
    TDevInfo dev;
    core::ReadDevice(platform::IniFile(text.toLatin1()), dev, {}, nullptr);
    EXPECT_EQ(dev.CountJournals, 6);
    EXPECT_EQ(dev.Journal[5].Name, QStringLiteral("J6"));

    core::ReadDevice(platform::IniFile("[settings]\r\narchtypecount=-2\r\n"), dev, {}, nullptr);
    EXPECT_EQ(dev.CountJournals, 0);
}

TEST(Catalogue, RecordTypeSections) {
    const platform::IniFile f(
        platform::toCp1251(QString::fromUtf8("[settings]\r\n"
                                             "[s0]\r\nID=1\r\nname=Уставка\r\ntype=4\r\n"
                                             "[s1]\r\nID=$10\r\ntype=0=выкл;1=вкл\r\n"
                                             "[s3]\r\nID=3\r\nname=после пропуска\r\n")));
    TDevInfo dev;
    core::ReadDevice(f, dev, {}, nullptr);
    ASSERT_EQ(dev.ListRecType.size(), 2u); // s2 missing ends the list
    const TRecType& a = dev.ListRecType[0];
    EXPECT_EQ(a.addr, 1);
    EXPECT_EQ(a.atype, dtFloat);
    EXPECT_EQ(a.Name, QString::fromUtf8("Уставка"));
    EXPECT_FALSE(a.Strs.has_value());
    EXPECT_TRUE(a.Events.empty());
    const TRecType& b = dev.ListRecType[1];
    EXPECT_EQ(b.addr, 16);
    EXPECT_EQ(b.atype, dtList);
    EXPECT_EQ(b.Name, QStringLiteral("???"));
    ASSERT_TRUE(b.Strs.has_value());
    ASSERT_EQ(b.Strs->size(), 2u);
    EXPECT_EQ((*b.Strs)[1].ID, 1);
    EXPECT_EQ((*b.Strs)[1].Value, QString::fromUtf8("вкл"));

    const struct {
        const char* section;
        std::int32_t atype;
        int strs; // -1: no list
    } types[] = {
        {"[s0]\r\nID=5\r\n", dtUWord, -1},                 // missing type reads as 18
        {"[s0]\r\nID=5\r\ntype=\r\n", dtList, 0},          // empty type: an empty list
        {"[s0]\r\nID=5\r\ntype=0x13\r\n", dtLongWord, -1}, // integer forms of the INI rules
        {"[s0]\r\nID=5\r\ntype=7\r\n", dtDateTime, -1},
        {"[s0]\r\nID=5\r\ntype=abc\r\n", dtList, 0}, // not an integer: a list without items
        {"[s0]\r\nID=-1\r\ntype=4\r\n", 0, -2},      // ID -1 ends the list at once
        {"[s0]\r\nID=x\r\ntype=4\r\n", 0, -2},       // so does an ID that is no integer
    };
    for (const auto& t : types) {
        TDevInfo d;
        core::ReadDevice(platform::IniFile(QByteArray(t.section)), d, {}, nullptr);
        if (t.strs == -2) {
            EXPECT_TRUE(d.ListRecType.empty()) << t.section;
            continue;
        }
        ASSERT_EQ(d.ListRecType.size(), 1u) << t.section;
        EXPECT_EQ(d.ListRecType[0].atype, t.atype) << t.section;
        EXPECT_EQ(d.ListRecType[0].Strs.has_value(), t.strs >= 0) << t.section;
        if (t.strs >= 0) {
            EXPECT_EQ(static_cast<int>(d.ListRecType[0].Strs->size()), t.strs) << t.section;
        }
    }
}

TEST(Catalogue, ValueListSplitting) {
    const QString n(kNbsp);
    const struct {
        const char* text;
        QStringList items;
    } cases[] = {
        {"0=закрыт;1=открыт", {"0=закрыт", "1=открыт"}},
        {"1=нет данных", {"1=нет" + n + "данных"}},
        {"\"0=a;b\";1=c", {"0=a;b", "1=c"}},
        {"\"0=say \"\"hi\"\"\"", {"0=say" + n + "\"hi\""}},
        {"0=a\t1=b\r\n2=c", {"0=a", "1=b", "2=c"}},
        {"0=x;;1=y", {"0=x", "", "1=y"}},
        {"0=x;", {"0=x", ""}},
        {"", {}},
        {"0 = a", {"0" + n + "=" + n + "a"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(core::SplitValueList(QString::fromUtf8(c.text)), c.items) << c.text;
}

TEST(Catalogue, ValueListItems) {
    std::vector<TRecType> list;
    QStringList bad;
    core::AddListRecType(list, 7, QStringLiteral("Режим"),
                         QString::fromUtf8("0=выкл;без равенства;$10=шестнадцать;2=a=b;x=bad;"
                                           "1=нет данных;0 = закрыт"),
                         &bad);
    ASSERT_EQ(list.size(), 1u);
    ASSERT_TRUE(list[0].Strs.has_value());
    const auto& s = *list[0].Strs;
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0].ID, 0);
    EXPECT_EQ(s[1].ID, 16);
    EXPECT_EQ(s[2].ID, 2);
    EXPECT_EQ(s[2].Value, QStringLiteral("a=b"));
    EXPECT_EQ(s[3].ID, 1);
    EXPECT_EQ(s[3].Value, QString::fromUtf8("нет") + kNbsp + QString::fromUtf8("данных"));
    // Blanks around "=" became no-break spaces, which no integer accepts.
    EXPECT_EQ(bad, QStringList({"x", QStringLiteral("0") + kNbsp}));
}

TEST(Catalogue, BadValueListIdentifierIsReportedAndLoadingGoesOn) {
    CatalogueDir dir;
    dir.write("main.ini", "[Main]\r\nCountDev=2\r\nDev1=bad.ini\r\nDev2=good.ini\r\n");
    dir.write("bad.ini", QString::fromUtf8("[settings]\r\nname=Плохой\r\n"
                                           "[s0]\r\nID=1\r\ntype=0 = закрыт;1=открыт\r\n"
                                           "[s1]\r\nID=2\r\ntype=4\r\n"));
    dir.write("good.ini", QString::fromUtf8("[settings]\r\nname=Хороший\r\n"));
    const core::TCatalogue cat = dir.load();
    ASSERT_EQ(cat.ListDev.size(), 2u);
    ASSERT_EQ(cat.ListDev[0]->ListRecType.size(), 2u);
    ASSERT_EQ(cat.ListDev[0]->ListRecType[0].Strs->size(), 1u);
    EXPECT_EQ(cat.ListDev[1]->Name, QString::fromUtf8("Хороший"));
    ASSERT_EQ(cat.Errors.size(), 1);
    EXPECT_EQ(cat.Errors[0], QStringLiteral("'0") + kNbsp +
                                 QStringLiteral("' is not a valid integer value (bad.ini, [s0])"));
}

TEST(Catalogue, ConnectionSettings) {
    const struct {
        const char* what;
        const char* ini;
        std::optional<QString> port;
        int speed, addr, retries, lastDev, link;
        std::optional<int> top, left;
        int answerTime;
    } cases[] = {
        {"defaults", "", std::nullopt, 0, 1, 5, -1, 0, std::nullopt, std::nullopt, 500},
        {"all keys",
         "[settings]\nlastcomport=COM3\nlastcomspeed=6\nlastaddr=$F7\nRetries=2\nLastDev=4\n"
         "lastlink=1\nAnswerTime=1500\n[Position]\nTop=10\nLeft=-20\n",
         QStringLiteral("COM3"), 6, 247, 2, 4, 1, 10, -20, 1500},
        {"odd values",
         "[Settings]\nlastcomport=\nlastcomspeed=99\nlastaddr=abc\nlastlink=5\nLastDev=7\n"
         "AnswerTime=x\n[Position]\nTop=x\n",
         QString(), 99, 1, 5, 7, 0, std::nullopt, std::nullopt, 500},
    };
    for (const auto& c : cases) {
        const core::TConnectionSettings s =
            core::ReadConnectionSettings(platform::IniFile(QByteArray(c.ini)));
        EXPECT_EQ(s.lastcomport, c.port) << c.what;
        EXPECT_EQ(s.lastcomspeed, c.speed) << c.what;
        EXPECT_EQ(s.lastaddr, c.addr) << c.what;
        EXPECT_EQ(s.Retries, c.retries) << c.what;
        EXPECT_EQ(s.LastDev, c.lastDev) << c.what;
        EXPECT_EQ(s.lastlink, c.link) << c.what;
        EXPECT_EQ(s.Top, c.top) << c.what;
        EXPECT_EQ(s.Left, c.left) << c.what;
        EXPECT_EQ(s.AnswerTime, c.answerTime) << c.what;
    }
}

TEST(Catalogue, SaveSettingsWritesItsKeysOnly) {
    CatalogueDir dir;
    const QString original = QString::fromUtf8(
        "; Каталог\r\n[Main]\r\nCountDev=1\r\nDev1=a.ini\r\n\r\n[Settings]\r\nlastaddr=12\r\n"
        "lastcomport=COM1\r\n\r\n[Ports]\r\nCOM5=/dev/pts/3\r\n");
    dir.write("main.ini", original);
    core::TConnectionSettings s;
    s.lastcomport = QStringLiteral("COM10");
    s.lastcomspeed = -1;
    s.lastaddr.reset(); // the address box held no integer
    s.Retries = 3;
    s.AnswerTime = 800;
    s.LastDev = 2;
    s.lastlink = 1;
    s.Top = 204;
    s.Left = 769;
    QString message;
    ASSERT_TRUE(core::SaveSettings(dir.filePath("main.ini"), s, &message));
    EXPECT_EQ(dir.read("main.ini"),
              platform::toCp1251(QString::fromUtf8(
                  "; Каталог\r\n[Main]\r\nCountDev=1\r\nDev1=a.ini\r\n\r\n[Settings]\r\n"
                  "lastaddr=12\r\nlastcomport=COM10\r\nlastcomspeed=-1\r\nRetries=3\r\n"
                  "AnswerTime=800\r\nLastDev=2\r\nlastlink=1\r\n\r\n[Ports]\r\nCOM5=/dev/pts/3\r\n"
                  "[Position]\r\nTop=204\r\nLeft=769\r\n")));
}

TEST(Catalogue, SaveSettingsCreatesAMissingFileAndReportsFailure) {
    CatalogueDir dir;
    core::TConnectionSettings s;
    QString message;
    ASSERT_TRUE(core::SaveSettings(dir.filePath("main.ini"), s, &message));
    const platform::IniFile back(dir.read("main.ini"));
    EXPECT_EQ(back.readInteger(u"Settings", u"lastaddr", 0), 1);
    EXPECT_EQ(back.readInteger(u"Settings", u"LastDev", 0), -1);

    const QString unwritable = dir.filePath("missing-dir/main.ini");
    EXPECT_FALSE(core::SaveSettings(unwritable, s, &message));
    EXPECT_EQ(message, QStringLiteral("Unable to write to ") + unwritable);
}

TEST(Catalogue, SampleCatalogueLoadsCleanly) {
    core::TCatalogue cat;
    cat.Load(QStringLiteral(JOURNAL_SOURCE_DIR "/examples"));
    EXPECT_TRUE(cat.Errors.isEmpty()) << cat.Errors.join('\n').toStdString();
    ASSERT_EQ(cat.ListDev.size(), 6u);
    std::set<int> layouts;
    std::set<int> types;
    for (const auto& dev : cat.ListDev) {
        EXPECT_NE(dev->Name, QString::fromUtf8("прибор")) << "device file not found";
        EXPECT_GE(dev->CountJournals, 1);
        for (int j = 0; j < dev->CountJournals; ++j)
            layouts.insert(dev->Journal[static_cast<std::size_t>(j)].typedev);
        for (const TRecType& r : dev->ListRecType)
            types.insert(r.atype);
    }
    EXPECT_EQ(layouts, std::set<int>({tdPlain, tdMarlo, tdPlain2, tdPlain3, tdPlain4, tdQuint}));
    for (const int t : {2, 3, 4, 7, 16, 17, 18, 19, 256})
        EXPECT_TRUE(types.count(t)) << t;
}

} // namespace
