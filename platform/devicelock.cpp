// SPDX-License-Identifier: MIT
#include "platform/devicelock.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

QString sharedLockFolder() {
    for (const char* dir : {"/run/lock", "/var/lock", "/tmp"}) {
        struct stat st {};
        if (::stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && ::access(dir, W_OK | X_OK) == 0)
            return QString::fromLatin1(dir);
    }
    return {};
}

// Opens the lock file for locking. An existing file is opened without O_CREAT: in a sticky
// folder the kernel refuses O_CREAT on another user's file (fs.protected_regular) even when its
// mode allows the open.
int openLockFile(const QByteArray& path) {
    for (int round = 0; round < 3; ++round) {
        int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 && errno == EACCES)
            fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            ::fchmod(fd, 0666); // any user's reader must be able to take it in turn
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

QString holderOf(int fd) {
    char text[256] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    return n > 0 ? QString::fromLocal8Bit(text, int(n)).trimmed() : QString();
}

} // namespace

DeviceLock::~DeviceLock() {
    release();
}

QString DeviceLock::lockFilePath(const QString& devicePath) {
    struct stat st {};
    if (devicePath.isEmpty() || ::stat(QFile::encodeName(devicePath).constData(), &st) != 0)
        return {};
    const QString folder = sharedLockFolder();
    if (folder.isEmpty())
        return {};
    return QStringLiteral("%1/journal-reader.%2.%3.lock")
        .arg(folder)
        .arg(quint64(st.st_dev))
        .arg(quint64(st.st_ino));
}

bool DeviceLock::acquire(const QString& devicePath, QString* why) {
    release();
    const QString path = lockFilePath(devicePath);
    if (path.isEmpty())
        return true;
    const int fd = openLockFile(QFile::encodeName(path));
    if (fd < 0)
        return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        if (held && why) {
            const QString holder = holderOf(fd);
            *why = QStringLiteral("Порт %1 занят: это устройство уже открыто другим чтением "
                                  "журнала%2.")
                       .arg(devicePath,
                            holder.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(holder));
        }
        ::close(fd);
        return !held;
    }
    // Who holds it, for the message another reader gets.
    const QByteArray holder =
        QStringLiteral("процесс %1, %2\n").arg(::getpid()).arg(devicePath).toLocal8Bit();
    // (A lock file opened read-only keeps the lock without the note.)
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t written =
            ::pwrite(fd, holder.constData(), size_t(holder.size()), 0);
    }
    m_fd = fd;
    return true;
}

void DeviceLock::release() {
    if (m_fd >= 0)
        ::close(m_fd); // closing the file drops the lock
    m_fd = -1;
}

} // namespace platform
