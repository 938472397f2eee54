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

// Each line of `before` (split at "\n") occurs in `after`, in the same order.
bool KeepsEveryLine(const QByteArray& before, const QByteArray& after) {
    qsizetype from = 0;
    for (const QByteArray& line : before.split('\n')) {
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
        {"carriage returns only", "[Settings]\rlastaddr=7\rRetries=2\r", 1},
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
