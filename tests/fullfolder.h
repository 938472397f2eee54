// SPDX-License-Identifier: MIT
#pragma once

// A folder on a full file system, for the tests of saving on a full disk: a small tmpfs mounted
// for the test, whose free space a filler file takes up once the given files are written. Only
// root can mount it; elsewhere mounted() is false and the tests use /dev/full instead.
//
// Root runs a test program that includes this header in a mount namespace of its own, set up
// before main() while the program has a single thread: the mounts never reach the system's
// namespace and go away with the program, even when a test crashes.

#include <QDir>
#include <QFile>
#include <QList>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <utility>

namespace fullfolder_detail {

inline const bool kOwnMountNamespace = [] {
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0)
        return false;
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}();

} // namespace fullfolder_detail

class FullFolder {
public:
    // `files` (name and bytes) are written before the file system is filled up.
    explicit FullFolder(const QList<std::pair<QString, QByteArray>>& files = {}) {
        if (!fullfolder_detail::kOwnMountNamespace || !m_base.isValid())
            return;
        m_path = m_base.filePath(QStringLiteral("full"));
        if (!QDir().mkdir(m_path) ||
            ::mount("tmpfs", QFile::encodeName(m_path).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                    "size=512k,mode=0777") != 0)
            return;
        m_mounted = true;
        for (const auto& [name, bytes] : files) {
            QFile f(filePath(name));
            if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.flush())
                m_mounted = false;
        }
        fill();
    }
    ~FullFolder() {
        if (!m_path.isEmpty())
            ::umount2(QFile::encodeName(m_path).constData(), MNT_DETACH);
    }
    FullFolder(const FullFolder&) = delete;
    FullFolder& operator=(const FullFolder&) = delete;

    bool mounted() const { return m_mounted; }
    QString path() const { return m_path; }
    QString filePath(const QString& name) const { return QDir(m_path).filePath(name); }
    // What the folder holds besides the filler.
    QStringList entries() const {
        QStringList names = QDir(m_path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                   QDir::NoDotAndDotDot);
        names.removeAll(QStringLiteral(".filler"));
        return names;
    }

private:
    void fill() {
        const int fd = ::open(QFile::encodeName(filePath(QStringLiteral(".filler"))).constData(),
                              O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            m_mounted = false;
            return;
        }
        static const char block[4096] = {};
        while (::write(fd, block, sizeof block) > 0) {
        }
        // The filler's last page may be partly used: its rest as well.
        while (::write(fd, block, 1) > 0) {
        }
        ::close(fd);
    }

    QTemporaryDir m_base;
    QString m_path;
    bool m_mounted = false;
};
