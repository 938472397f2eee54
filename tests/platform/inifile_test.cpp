// SPDX-License-Identifier: MIT
#include "platform/codepage.h"
#include "platform/inifile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "tests/fullfolder.h"
#include "tests/qstringprinter.h"
#include "tests/unprivileged.h"
#include "tests/ziptestutil.h"

#include <gtest/gtest.h>

#include <iostream>
#include <optional>
#include <sys/stat.h>

namespace {

using platform::IniFile;

TEST(IniInteger, KnownAnswers) {
    const struct {
        const char* text;
        std::optional<int> value;
    } cases[] = {
        {"0", 0},
        {"123", 123},
        {"  42", 42},
        {"-5", -5},
        {"+7", 7},
        {"$1F", 31},
        {"$1f", 31},
        {"0x1F4", 500},
        {"0X1f4", 500},
        {"x1F", 31},
        {"X1F", 31},
        {"-$10", -16},
        {"$FFFFFFFF", -1},
        {"$80000000", INT32_MIN},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"2147483648", std::nullopt},
        {"$100000000", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"abc", std::nullopt},
        {"true", std::nullopt},
        {"1 ", std::nullopt},
        {"1.5", std::nullopt},
        {"12a", std::nullopt},
        {"0x", std::nullopt},
        {"$", std::nullopt},
        {"-", std::nullopt},
        {"- 5", std::nullopt},
        {"\t5", std::nullopt},
        {"0xG", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::parseIniInteger(QString::fromLatin1(c.text)), c.value) << c.text;
    // Digits of other scripts and the no-break space are not accepted.
    EXPECT_EQ(platform::parseIniInteger(QString::fromUtf8("\u0661")), std::nullopt);
    EXPECT_EQ(platform::parseIniInteger(QString::fromUtf8("\u00A05")), std::nullopt);
}

TEST(IniFile, ReadingRules) {
    const IniFile ini(platform::toCp1251(QString::fromUtf8("orphan=1\r\n"
                                                           "; comment\r\n"
                                                           "[Main]\r\n"
                                                           "CountDev = 3\r\n"
                                                           "Key=a=b\r\n"
                                                           "  spaced key   =   spaced value  \r\n"
                                                           ";commented=1\r\n"
                                                           "empty=\r\n"
                                                           "noequals line\r\n"
                                                           "=nokey\r\n"
                                                           "nbsp=\u00A0x\u00A0\r\n"
                                                           "Имя=Значение\r\n"
                                                           "[ Other ]\r\n"
                                                           "X=1\r\n"
                                                           "[unterminated\r\n"
                                                           "Y=2\r\n"
                                                           "[main]\r\n"
                                                           "countdev=99\r\n"
                                                           "Extra=e")));
    const QString def = QStringLiteral("<def>");
    const struct {
        const char* section;
        const char* key;
        const char* expected;
    } cases[] = {
        {"MAIN", "countdev", "3"},              // names ignore letter case; first occurrence
        {"Main", "key", "a=b"},                 // split at the first "="
        {"Main", "spaced key", "spaced value"}, // blanks around keys and values
        {"Main", ";commented", "<def>"},        // comment lines
        {"Main", "empty", ""},                  // present but empty is not the default
        {"Main", "noequals line", "<def>"},     // lines without "="
        {"Main", "", "<def>"},                  // no key
        {"Main", "nbsp", "\u00A0x\u00A0"},      // a no-break space is text, not a blank
        {"main", "имя", "Значение"},            // Cyrillic names ignore letter case too
        {"other", "x", "1"},                    // blanks inside the brackets
        {"Other", "Y", "2"},                    // "[unterminated" opens no section
        {"Main", "extra", "e"},                 // a repeated section adds its keys
        {"Missing", "x", "<def>"},              // missing section
        {"", "orphan", "<def>"},                // keys before any section belong to none
    };
    for (const auto& c : cases)
        EXPECT_EQ(ini.readString(QString::fromUtf8(c.section), QString::fromUtf8(c.key), def),
                  QString::fromUtf8(c.expected))
            << c.section << "/" << c.key;
    EXPECT_EQ(ini.keys(u"MAIN"), QStringList({"CountDev", "Key", "spaced key", "empty", "nbsp",
                                              QString::fromUtf8("Имя"), "Extra"}));
    EXPECT_TRUE(ini.sectionExists(u" other "));
    EXPECT_FALSE(ini.sectionExists(u"unterminated"));
}

TEST(IniFile, IntegersAndFlags) {
    const IniFile ini(QByteArray("[s]\nhex=0x1F4\nbad=abc\nneg=-1\nzero=0\none=1\ntrue=true\n"
                                 "two=$2\nempty=\n"));
    EXPECT_EQ(ini.readInteger(u"s", u"hex", -1), 500);
    EXPECT_EQ(ini.readInteger(u"s", u"bad", -1), -1);
    EXPECT_EQ(ini.readInteger(u"s", u"bad", 7), 7);
    EXPECT_EQ(ini.readInteger(u"s", u"empty", 7), 7);
    EXPECT_EQ(ini.readInteger(u"s", u"missing", 9), 9);
    EXPECT_EQ(ini.readInteger(u"s", u"neg", 0), -1);
    const struct {
        const char* key;
        bool def;
        bool expected;
    } flags[] = {{"one", false, true},   {"two", false, true},   {"neg", false, true},
                 {"zero", true, false},  {"true", false, false}, {"true", true, true},
                 {"missing", true, true}};
    for (const auto& f : flags)
        EXPECT_EQ(ini.readBool(u"s", QString::fromLatin1(f.key), f.def), f.expected) << f.key;
}

QByteArray utf16(const QString& s, bool littleEndian) {
    QByteArray out = littleEndian ? QByteArray("\xFF\xFE", 2) : QByteArray("\xFE\xFF", 2);
    for (const QChar c : s) {
        const char lo = static_cast<char>(c.unicode() & 0xFF);
        const char hi = static_cast<char>(c.unicode() >> 8);
        out.append(littleEndian ? lo : hi);
        out.append(littleEndian ? hi : lo);
    }
    return out;
}

TEST(IniFile, Encodings) {
    const QString text = QString::fromUtf8("[settings]\r\nname=Прибор №1\r\n");
    const struct {
        const char* what;
        QByteArray bytes;
        IniFile::Encoding encoding;
        QString name;
    } cases[] = {
        {"windows-1251", platform::toCp1251(text), IniFile::Encoding::Ansi,
         QString::fromUtf8("Прибор №1")},
        {"UTF-8 BOM", "\xEF\xBB\xBF" + text.toUtf8(), IniFile::Encoding::Utf8,
         QString::fromUtf8("Прибор №1")},
        {"UTF-16LE", utf16(text, true), IniFile::Encoding::Utf16LE, QString::fromUtf8("Прибор №1")},
        {"UTF-16BE", utf16(text, false), IniFile::Encoding::Utf16BE,
         QString::fromUtf8("Прибор №1")},
        // UTF-8 without a byte-order mark is read as windows-1251.
        {"UTF-8 without BOM", text.toUtf8(), IniFile::Encoding::Ansi,
         platform::fromCp1251(QString::fromUtf8("Прибор №1").toUtf8())},
    };
    for (const auto& c : cases) {
        const IniFile ini(c.bytes);
        EXPECT_EQ(ini.encoding(), c.encoding) << c.what;
        EXPECT_EQ(ini.readString(u"Settings", u"Name", {}), c.name) << c.what;
        EXPECT_EQ(ini.toBytes(), c.bytes) << c.what;
    }
}

// Writing three keys (one replaced, one added to an existing section, one in a new section)
// changes exactly the lines it must and leaves every other byte alone.
TEST(IniFile, WriterKeepsEveryOtherByte) {
    const struct {
        const char* what;
        QByteArray before;
        QByteArray after;
    } cases[] = {
        {"windows-1251, CRLF, comments, unknown sections",
         platform::toCp1251(QString::fromUtf8("; Комментарий\r\n[Main]\r\nCountDev=1\r\n\r\n"
                                              "[Settings]\r\nlastaddr = 1\r\nlastlink=0\r\n"
                                              "; end of settings\r\n\r\n[Ports]\r\n"
                                              "COM5=/dev/pts/3\r\n")),
         platform::toCp1251(QString::fromUtf8("; Комментарий\r\n[Main]\r\nCountDev=1\r\n\r\n"
                                              "[Settings]\r\nlastaddr = 7\r\nlastlink=0\r\n"
                                              "Retries=5\r\n"
                                              "; end of settings\r\n\r\n[Ports]\r\n"
                                              "COM5=/dev/pts/3\r\n[Position]\r\nTop=-3\r\n"))},
        {"LF line ends, no final line end", "[settings]\nLASTADDR=1\nx=y",
         "[settings]\nLASTADDR=7\nx=y\nRetries=5\n[Position]\nTop=-3\n"},
        {"CR line ends", "[settings]\rLASTADDR=1\rx=y\r",
         "[settings]\rLASTADDR=7\rx=y\rRetries=5\r[Position]\rTop=-3\r"},
        // Each line keeps its end; added lines take the first one.
        {"mixed line ends", "[Settings]\r\nlastaddr=1\rx=y\n\r[Other]\n",
         "[Settings]\r\nlastaddr=7\rx=y\nRetries=5\r\n\r[Other]\n[Position]\r\nTop=-3\r\n"},
        {"empty file", "", "[Settings]\r\nlastaddr=7\r\nRetries=5\r\n[Position]\r\nTop=-3\r\n"},
        {"UTF-8 with BOM",
         "\xEF\xBB\xBF" + QString::fromUtf8("[Settings]\nlastaddr=1\n; ключ\n").toUtf8(),
         "\xEF\xBB\xBF" +
             QString::fromUtf8("[Settings]\nlastaddr=7\nRetries=5\n; ключ\n[Position]\nTop=-3\n")
                 .toUtf8()},
        {"UTF-16LE", utf16(QStringLiteral("[Settings]\r\nlastaddr=1\r\n"), true),
         utf16(QStringLiteral("[Settings]\r\nlastaddr=7\r\nRetries=5\r\n[Position]\r\nTop=-3\r\n"),
               true)},
        // The odd last byte stays and gets a zero byte, so the lines added after it are read.
        {"UTF-16LE with an odd trailing byte",
         utf16(QStringLiteral("[Settings]\r\nlastaddr=1\r\n; x"), true) + '\x41',
         utf16(QStringLiteral("[Settings]\r\nlastaddr=7\r\nRetries=5\r\n; x"), true) +
             QByteArray("\x41\0", 2) +
             utf16(QStringLiteral("\r\n[Position]\r\nTop=-3\r\n"), true).mid(2)},
        {"duplicate key: the first one is replaced", "[Settings]\r\nlastaddr=1\r\nlastaddr=2\r\n",
         "[Settings]\r\nlastaddr=7\r\nlastaddr=2\r\nRetries=5\r\n[Position]\r\nTop=-3\r\n"},
        {"bytes that windows-1251 leaves unassigned survive in other lines",
         "; \x98\r\n[Settings]\r\nlastaddr=1\r\n",
         "; \x98\r\n[Settings]\r\nlastaddr=7\r\nRetries=5\r\n[Position]\r\nTop=-3\r\n"},
    };
    for (const auto& c : cases) {
        IniFile ini(c.before);
        ini.writeInteger(u"Settings", u"lastaddr", 7);
        ini.writeString(u"Settings", u"Retries", QStringLiteral("5"));
        ini.writeInteger(u"Position", u"Top", -3);
        EXPECT_EQ(ini.toBytes(), c.after) << c.what;
        // What was written reads back.
        const IniFile again(ini.toBytes());
        EXPECT_EQ(again.readInteger(u"settings", u"lastaddr", 0), 7) << c.what;
        EXPECT_EQ(again.readInteger(u"settings", u"retries", 0), 5) << c.what;
        EXPECT_EQ(again.readInteger(u"position", u"top", 0), -3) << c.what;
    }
}

TEST(IniFile, WrittenValueCannotAddLines) {
    IniFile ini(QByteArray("[Settings]\r\nlastcomport=COM1\r\n"));
    ini.writeString(u"Settings", u"lastcomport", QStringLiteral("COM2\r\n[Main]\r\nCountDev=9"));
    const IniFile again(ini.toBytes());
    EXPECT_FALSE(again.sectionExists(u"Main"));
    EXPECT_EQ(again.keys(u"Settings"), QStringList{"lastcomport"});
}

TEST(IniFile, SaveIsAtomicAndReportsFailures) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("main.ini"));
    IniFile ini;
    EXPECT_FALSE(ini.load(path)); // missing: reads as empty
    ini.writeInteger(u"Settings", u"Retries", 3);
    QString error;
    ASSERT_TRUE(ini.save(path, &error)) << error.toStdString();
    IniFile back;
    ASSERT_TRUE(back.load(path));
    EXPECT_EQ(back.readInteger(u"Settings", u"Retries", 0), 3);
    // No temporary file is left next to it.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"main.ini"});

    EXPECT_FALSE(ini.save(dir.filePath(QStringLiteral("no/such/dir/main.ini")), &error));
    EXPECT_FALSE(error.isEmpty());
    // A directory in the way of the file: the save fails and the directory stays.
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("taken.ini")));
    EXPECT_FALSE(ini.save(dir.filePath(QStringLiteral("taken.ini"))));
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("taken.ini"))).isDir());
}

// Saving never loses the file: it holds the new bytes or the old ones, and nothing is left
// beside it. Cases of permissions run as an unprivileged user when the tests run as root.
TEST(IniFile, SaveNeverLosesTheFile) {
    const QByteArray original = "[Main]\r\nCountDev=1\r\nDev1=a.ini\r\n[Settings]\r\nRetries=5\r\n";
    FullFolder full({{"main.ini", original}});
    QTemporaryDir dir;
    ASSERT_TRUE(ReadOnlyForOthers(dir.path()));
    enum Where { FullDisk, DevFull, FolderRefusesNewFiles, ReadOnly };
    const struct {
        const char* what;
        Where where;
        bool saved;
    } cases[] = {
        {"full disk (tmpfs)", FullDisk, false},
        {"a link to /dev/full", DevFull, false},
        {"folder refuses new files: written in place", FolderRefusesNewFiles, true},
        {"folder and file read-only", ReadOnly, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QString folder = full.path();
        if (c.where == FullDisk && !full.mounted()) {
            std::cerr << "skipped: " << c.what << " (mounting a tmpfs needs root)\n";
            continue;
        }
        if (c.where != FullDisk) {
            folder = dir.filePath(QString::number(c.where));
            ASSERT_TRUE(QDir().mkdir(folder) && ReadOnlyForOthers(folder));
        }
        const QString path = QDir(folder).filePath("main.ini");
        if (c.where == DevFull) {
            ASSERT_TRUE(QFile::link("/dev/full", path));
        } else if (c.where != FullDisk) {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(original);
            f.close();
            f.setPermissions(
                QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther |
                (c.where == FolderRefusesNewFiles ? QFile::WriteOther : QFile::Permissions()));
        }
        IniFile ini(original);
        ini.writeInteger(u"Settings", u"Retries", 3);
        const auto save = [&] {
            const bool saved = ini.save(path);
            struct stat st {};
            const bool kept = c.where == DevFull
                                  ? ::stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode)
                                  : ReadWholeFile(path) == (saved ? ini.toBytes() : original);
            QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden |
                                                       QDir::System | QDir::NoDotAndDotDot);
            names.removeAll(".filler");
            return int(saved) | (kept ? 2 : 0) | (names == QStringList{"main.ini"} ? 4 : 0);
        };
        EXPECT_EQ(c.where == FullDisk ? save() : RunUnprivileged(save), int(c.saved) | 2 | 4);
    }
}

} // namespace
