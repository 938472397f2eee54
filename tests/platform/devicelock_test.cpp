// SPDX-License-Identifier: MIT
// The device lock by identity: two names of one device (a symlink) are one device, for every
// user, root included.
#include "platform/devicelock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <pty.h>
#include <string>
#include <unistd.h>

namespace {

// Run as a child process, possibly as another user: takes the lock of JOURNAL_LOCK_DEVICE,
// prints "locked" or "refused: <message>", and holds a lock it got until its input closes.
TEST(DeviceLockChild, DISABLED_TakesTheLock) {
    platform::DeviceLock lock;
    QString why;
    const bool ok = lock.acquire(qEnvironmentVariable("JOURNAL_LOCK_DEVICE"), &why);
    std::printf("%s\n", ok ? "locked" : qPrintable(QStringLiteral("refused: ") + why));
    std::fflush(stdout);
    std::string line;
    while (ok && std::getline(std::cin, line)) {
    }
}

// A taker of the lock: this process, or the test program run as `nobody`.
class Taker {
public:
    explicit Taker(bool nobody) : m_nobody(nobody) {}
    ~Taker() { release(); }

    // "locked" or "refused: ..." (the child's first line).
    QString take(const QString& device) {
        if (!m_nobody) {
            QString why;
            return m_lock.acquire(device, &why) ? QStringLiteral("locked") : "refused: " + why;
        }
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("JOURNAL_LOCK_DEVICE"), device);
        m_child.setProcessEnvironment(env);
        m_child.start(QStringLiteral("setpriv"),
                      {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                       QCoreApplication::applicationFilePath(), "--gtest_also_run_disabled_tests",
                       "--gtest_filter=DeviceLockChild.DISABLED_TakesTheLock"});
        if (!m_child.waitForStarted(5000))
            return m_child.errorString();
        QString out;
        while (!out.contains(u"locked") && !out.contains(u"refused") &&
               m_child.waitForReadyRead(5000))
            out += QString::fromUtf8(m_child.readAllStandardOutput());
        const qsizetype at = std::max(out.indexOf(u"locked"), out.indexOf(u"refused"));
        return at < 0 ? out : out.mid(at).section(u'\n', 0, 0);
    }
    // The taker's process (setpriv runs the program in its own process).
    qint64 pid() const { return m_nobody ? m_child.processId() : ::getpid(); }
    void release() {
        m_lock.release();
        if (m_child.state() != QProcess::NotRunning) {
            m_child.closeWriteChannel();
            if (!m_child.waitForFinished(5000))
                m_child.kill();
        }
    }

private:
    bool m_nobody;
    platform::DeviceLock m_lock;
    QProcess m_child;
};

TEST(DeviceLock, TwoNamesOfOneDeviceAreOneDeviceForEveryUser) {
    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    const QString device = QString::fromLocal8Bit(name);
    // The other name lives in a folder every user may enter.
    QTemporaryDir dir;
    ASSERT_TRUE(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                      QFile::ExeOwner | QFile::ReadOther |
                                                      QFile::ExeOther));
    const QString link = dir.filePath(QStringLiteral("ttyLINK"));
    ASSERT_TRUE(QFile::link(device, link));
    EXPECT_EQ(platform::DeviceLock::lockFilePath(device), platform::DeviceLock::lockFilePath(link));

    const bool root = ::geteuid() == 0;
    const struct {
        bool firstNobody, secondNobody;
    } cases[] = {{false, false}, {true, false}, {false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.firstNobody ? "nobody" : "self") << " then "
                                        << (c.secondNobody ? "nobody" : "self"));
        if ((c.firstNobody || c.secondNobody) && !root) {
            std::printf("another user's reader needs root to switch users: skipped\n");
            continue;
        }
        Taker first(c.firstNobody), second(c.secondNobody);
        ASSERT_EQ(first.take(device), QStringLiteral("locked"));
        EXPECT_EQ(second.take(link),
                  QStringLiteral("refused: Порт %1 занят: это устройство уже открыто другим "
                                 "чтением журнала (процесс %2, %3).")
                      .arg(link)
                      .arg(first.pid())
                      .arg(device));
        second.release();
        first.release();
        EXPECT_EQ(second.take(link), QStringLiteral("locked"));
    }
    ::close(master);
    ::close(slave);

    // A device that does not exist has no lock: opening it tells the rest.
    platform::DeviceLock none;
    EXPECT_TRUE(none.acquire(QStringLiteral("/dev/journal-no-such-port")));
    EXPECT_FALSE(none.isHeld());
}

} // namespace
