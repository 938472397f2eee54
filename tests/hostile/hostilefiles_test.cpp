// SPDX-License-Identifier: MIT
// Hostile catalogue files: the loader reads what it can and never crashes, hangs or changes a
// file; saving the settings keeps every byte of main.ini it does not rewrite, and a main.ini
// that cannot be read or written is left exactly as it was.
#include "app/core/catalogue.h"
#include "platform/inifile.h"

#include "../qstringprinter.h"
#include "../unprivileged.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <sys/stat.h>

namespace {

QByteArray Garbage(int size, quint32 seed) {
    QRandomGenerator rng(seed);
    QByteArray b(size, '\0');
    for (char& c : b)
        c = char(rng.generate() & 0xFF);
    return b;
}

// 10 MB of comment lines (the size of an exported journal pasted in by mistake).
QByteArray TenMegabytes() {
    const QByteArray line = "; " + QByteArray(76, 'x') + "\r\n";
    QByteArray b;
    b.reserve(10 * 1024 * 1024 + line.size());
    while (b.size() < 10 * 1024 * 1024)
        b += line;
    return b;
}

// Each line of `before` (split at LF and at CR) occurs in `after`, in the same order.
bool KeepsEveryLine(const QByteArray& before, const QByteArray& after) {
    qsizetype from = 0;
    for (const QByteArray& line : QByteArray(before).replace('\r', '\n').split('\n')) {
        const qsizetype at = after.indexOf(line, from);
        if (at < 0)
            return false;
        from = at + line.size();
    }
    return true;
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void Write(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(f.write(bytes), bytes.size());
}

class HostileFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        // Reachable by the unprivileged user of the permission cases.
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                              QFileDevice::WriteOther | QFileDevice::ExeOther);
        mainIni = QDir(dir.path()).filePath("main.ini");
    }
    QString Device(const QString& name) const { return QDir(dir.path()).filePath(name); }

    QTemporaryDir dir;
    QString mainIni;
};

TEST_F(HostileFiles, MainIniOfAnyShapeLoadsAndSavingKeepsItsBytes) {
    const QByteArray huge = TenMegabytes();
    const struct {
        const char* name;
        QByteArray bytes;
        int lastaddr; // as read back
    } cases[] = {
        {"empty", {}, 1},
        {"binary garbage", Garbage(65536, 7), 1},
        {"garbage with NULs inside keys", QByteArrayLiteral("[Settings]\r\nlast\0addr=4\r\n\0\0\0"),
         1},
        {"10 MB of comments, then the settings", huge + "[Settings]\r\nlastaddr=7\r\n", 7},
        {"no line ends at all", "[Settings] lastaddr=7 Retries=2", 1},
        {"carriage returns only", "[Settings]\rlastaddr=7\rx=2\r", 7},
        {"UTF-16 with an odd byte", QByteArrayLiteral("\xFF\xFE[\0S\0]\0\n"), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray bytes(c.bytes.constData(), c.bytes.size());
        Write(mainIni, bytes);
        core::TCatalogue catalogue;
        const auto started = std::chrono::steady_clock::now();
        catalogue.Load(dir.path());
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        EXPECT_TRUE(catalogue.ListDev.empty());
        EXPECT_EQ(catalogue.Settings.lastaddr, c.lastaddr);

        core::TConnectionSettings s = catalogue.Settings;
        s.lastcomport = QStringLiteral("COM2");
        s.Retries = 3;
        QString message;
        ASSERT_TRUE(core::SaveSettings(mainIni, s, &message)) << message.toStdString();
        const QByteArray after = ReadAll(mainIni);
        platform::IniFile reread(after);
        EXPECT_EQ(reread.readString(u"Settings", u"lastcomport", {}), QStringLiteral("COM2"));
        EXPECT_EQ(reread.readInteger(u"Settings", u"Retries", 0), 3);
        // Every line that was there is still there, in its order: the settings are rewritten
        // in place or added.
        EXPECT_TRUE(KeepsEveryLine(bytes, after));
    }
}

TEST_F(HostileFiles, DeviceFilesOfAnyShapeGiveADeviceAndNoCrash) {
    QByteArray sections = "[settings]\r\nname=Many\r\narchtypecount=1\r\n";
    for (int k = 0; k <= 20001; ++k) // s0 .. s20001: one more than the loader reads
        sections += "[s" + QByteArray::number(k) + "]\r\nID=" + QByteArray::number(k) +
                    "\r\ntype=" + (k % 2 ? "0=нет;1=да" : "19") + "\r\n";
    const struct {
        const char* name;
        QByteArray bytes;
        QString deviceName;
        std::size_t types;
    } cases[] = {
        {"empty", {}, "прибор", 0},
        {"binary garbage", Garbage(65536, 11), "прибор", 0},
        {"10 MB", TenMegabytes() + "[settings]\r\nname=X\r\n[s0]\r\nID=3\r\n", "X", 1},
        {"no line ends", "[settings] name=X [s0] ID=1", "прибор", 0},
        {"20,002 record-type sections", sections, "Many", 20001},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray mainBytes = "[Main]\r\nCountDev=2\r\nDev1=dev.ini\r\nDev2=missing.ini\r\n";
        Write(mainIni, mainBytes);
        Write(Device("dev.ini"), c.bytes);
        core::TCatalogue catalogue;
        const auto started = std::chrono::steady_clock::now();
        catalogue.Load(dir.path());
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
        ASSERT_EQ(catalogue.ListDev.size(), 2u);
        EXPECT_EQ(catalogue.ListDev[0]->Name, c.deviceName);
        EXPECT_EQ(catalogue.ListDev[0]->ListRecType.size(), c.types);
        EXPECT_EQ(catalogue.ListDev[1]->Name, "прибор"); // the missing file
        EXPECT_EQ(catalogue.ListDev[1]->CountJournals, 0);
        EXPECT_EQ(ReadAll(mainIni), mainBytes);
        EXPECT_EQ(ReadAll(Device("dev.ini")), c.bytes);
    }
}

// A FIFO, a device, a folder or a file over 16 MiB named as a device file or as main.ini reads as
// a missing file (the huge file with a message naming it), at once; saving never replaces it.
TEST_F(HostileFiles, NotARegularFileOrTooLargeCountsAsMissing) {
    QByteArray huge = TenMegabytes();
    huge += huge;
    huge += "[Settings]\r\nlastaddr=7\r\n[settings]\r\nname=Huge\r\n";
    const std::function<void(const QString&)> makers[] = {
        [](const QString& p) { ASSERT_EQ(::mkfifo(QFile::encodeName(p).constData(), 0600), 0); },
        [](const QString& p) { ASSERT_TRUE(QFile::link("/dev/zero", p)); },
        [](const QString& p) { ASSERT_TRUE(QDir().mkdir(p)); },
        [&huge](const QString& p) { Write(p, huge); },
    };
    const char* kinds[] = {"FIFO", "/dev/zero", "folder", "20 MiB file"};
    for (int kind = 0; kind < 4; ++kind) {
        for (const bool asMainIni : {false, true}) {
            SCOPED_TRACE(std::string(kinds[kind]) + (asMainIni ? " as main.ini" : " as device"));
            QTemporaryDir here;
            const QString main = here.filePath("main.ini");
            const QString hostile = asMainIni ? main : here.filePath("dev.ini");
            if (!asMainIni) {
                Write(main, "[Main]\r\nCountDev=2\r\nDev1=dev.ini\r\nDev2=good.ini\r\n");
                Write(here.filePath("good.ini"), "[settings]\r\nname=Good\r\n");
            }
            makers[kind](hostile);
            const QFileInfo before(hostile);
            const bool tooLarge = kind == 3;
            // In a child process: a loader that hangs or aborts fails the case instead of the
            // whole test program. 1: too slow, 2: wrong devices, 3: wrong messages, 4: saved.
            const int result = RunInChild(
                [&] {
                    const auto started = std::chrono::steady_clock::now();
                    core::TCatalogue catalogue;
                    catalogue.Load(here.path());
                    if (std::chrono::steady_clock::now() - started > std::chrono::seconds(1))
                        return 1;
                    const bool devicesRight =
                        asMainIni ? catalogue.ListDev.empty() && catalogue.Settings.lastaddr == 1
                                  : catalogue.ListDev.size() == 2 &&
                                        catalogue.ListDev[0]->Name == u"прибор" &&
                                        catalogue.ListDev[0]->CountJournals == 0 &&
                                        catalogue.ListDev[1]->Name == u"Good";
                    if (!devicesRight)
                        return 2;
                    const QStringList expected{
                        QStringLiteral("Файл «%1» больше 16 МБ и не прочитан.").arg(hostile)};
                    if (catalogue.Errors != (tooLarge ? expected : QStringList()))
                        return 3;
                    QString message;
                    return asMainIni && core::SaveSettings(main, catalogue.Settings, &message) ? 4
                                                                                               : 0;
                },
                std::chrono::seconds(5));
            EXPECT_EQ(result, 0);
            const QFileInfo after(hostile);
            EXPECT_EQ(after.isDir(), before.isDir());
            EXPECT_EQ(after.isSymLink(), before.isSymLink());
            EXPECT_EQ(after.size(), before.size());
        }
    }
}

// Rings a record request cannot address are reported when the catalogue loads and kept as they
// are (the run refuses or limits them again); archive numbers of any size load without a word
// (their low 8 bits travel), as do numbers in range.
TEST_F(HostileFiles, AbsurdJournalNumbersAreReported) {
    Write(mainIni, "[Main]\r\nCountDev=1\r\nDev1=dev.ini\r\n");
    Write(Device("dev.ini"), "[settings]\r\narchtypecount=5\r\n"
                             "ArchNum1=257\r\nArchCountRec1=14\r\n"
                             "ArchNum2=2\r\nArchCycle2=1\r\nArchCountRec2=2147483647\r\n"
                             "ArchNum3=$FFFFFFFF\r\nArchCountRec3=70000\r\nArchReg3=300001\r\n"
                             "ArchNum4=-2\r\nArchCountRec4=65537\r\n"
                             "ArchNum5=255\r\nArchCycle5=1\r\nArchCountRec5=65536\r\n");
    core::TCatalogue catalogue;
    catalogue.Load(dir.path());
    ASSERT_EQ(catalogue.ListDev.size(), 1u);
    const TDevInfo& dev = *catalogue.ListDev[0];
    EXPECT_EQ(dev.Journal[0].Num, 257);
    EXPECT_EQ(dev.Journal[1].CountRec, 2147483647);
    EXPECT_EQ(catalogue.Errors,
              QStringList({"dev.ini: ArchCountRec2=2147483647 — больше 65536 записей, которые "
                           "может адресовать запрос.",
                           "dev.ini: ArchCountRec4=65537 — больше 65536 записей, которые может "
                           "адресовать запрос."}));
}

TEST_F(HostileFiles, ReadOnlyOrUnreadableMainIniIsNeverReplaced) {
    const QByteArray bytes = "; keep me\r\n[Settings]\r\nlastaddr=7\r\n[Other]\r\nx=1\r\n";
    const struct {
        const char* name;
        QFileDevice::Permissions permissions;
    } cases[] = {
        {"read-only", QFileDevice::ReadOwner | QFileDevice::ReadOther},
        {"write-only", QFileDevice::WriteOwner | QFileDevice::WriteOther},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(mainIni);
        Write(mainIni, bytes);
        ASSERT_TRUE(QFile::setPermissions(mainIni, c.permissions));
        const QString path = mainIni;
        const int result = RunUnprivileged([path] {
            core::TConnectionSettings s;
            s.lastaddr = 9;
            QString message;
            if (core::SaveSettings(path, s, &message))
                return 1;
            return message == QStringLiteral("Unable to write to %1").arg(path) ? 0 : 2;
        });
        EXPECT_EQ(result, 0);
        QFile::setPermissions(mainIni, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        EXPECT_EQ(ReadAll(mainIni), bytes);
    }
}

} // namespace
