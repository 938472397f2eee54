// SPDX-License-Identifier: MIT
#include "platform/replacefile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

QString writeErrorText(int errnum) {
    switch (errnum) {
    case 0:
        return {};
    case ENOSPC:
        return QStringLiteral("нет места на диске");
    case EDQUOT:
        return QStringLiteral("превышена дисковая квота");
    case EACCES:
        return QStringLiteral("нет прав на запись");
    case EPERM:
        return QStringLiteral("операция не разрешена");
    case ENOENT:
        return QStringLiteral("нет такой папки");
    case ENOTDIR:
        return QStringLiteral("часть пути не является папкой");
    case EISDIR:
        return QStringLiteral("на месте файла папка");
    case EROFS:
        return QStringLiteral("файловая система доступна только для чтения");
    case EIO:
        return QStringLiteral("ошибка ввода-вывода");
    case EFBIG:
        return QStringLiteral("файл слишком велик");
    case ENAMETOOLONG:
        return QStringLiteral("слишком длинное имя файла");
    case ENXIO:
    case ENODEV:
        return QStringLiteral("нет такого устройства");
    case EPIPE:
        return QStringLiteral("читающая сторона закрыла канал");
    default:
        // The system's own text would be English (the program runs under any locale).
        return QStringLiteral("системная ошибка %1").arg(errnum);
    }
}

namespace {

// The file a name stands for: symbolic links followed (at most 40 of them, as the system does).
QByteArray resolvedName(const QString& path) {
    QFileInfo info(path);
    for (int depth = 0; depth < 40 && info.isSymLink(); ++depth)
        info.setFile(info.symLinkTarget());
    return QFile::encodeName(info.absoluteFilePath());
}

QByteArray folderOf(const QByteArray& name) {
    const qsizetype slash = name.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : name.left(slash);
}

bool writeAll(int fd, const char* data, qsizetype size, qint64* written) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        size -= n;
        if (written)
            *written += n;
    }
    return true;
}

} // namespace

TReplaceFile::TReplaceFile(const QString& path) : m_target(resolvedName(path)) {}

TReplaceFile::~TReplaceFile() {
    cancel();
}

int TReplaceFile::checkWritable(const QString& path) {
    const QByteArray target = resolvedName(path);
    struct stat st {};
    if (::stat(target.constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return EISDIR;
        // A file that may be written is written in place when its folder refuses a new one.
        return ::access(target.constData(), W_OK) == 0 ? 0 : errno;
    }
    if (errno != ENOENT)
        return errno;
    const QByteArray folder = folderOf(target);
    if (::stat(folder.constData(), &st) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode))
        return ENOTDIR;
    return ::access(folder.constData(), W_OK | X_OK) == 0 ? 0 : errno;
}

bool TReplaceFile::fail(int errnum) {
    if (m_errno == 0)
        m_errno = errnum != 0 ? errnum : EIO;
    return false;
}

void TReplaceFile::closeFd() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool TReplaceFile::open() {
    if (m_mode != Mode::Closed)
        return false;
    m_errno = 0;
    m_written = 0;
    struct stat st {};
    const bool exists = ::stat(m_target.constData(), &st) == 0;
    if (!exists && errno != ENOENT)
        return fail(errno);
    if (exists && S_ISDIR(st.st_mode))
        return fail(EISDIR);
    if (exists && !S_ISREG(st.st_mode)) {
        // Never rename a file over a device or a pipe; a pipe nobody reads fails at once.
        m_fd = ::open(m_target.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (m_fd < 0)
            return fail(errno);
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
        m_mode = Mode::Direct;
        return true;
    }
    // A file its owner made read-only is not replaced behind its back.
    if (exists && ::access(m_target.constData(), W_OK) != 0)
        return fail(errno);
    if (openTemporary(st.st_mode, exists, st.st_uid, st.st_gid))
        return true;
    const int refused = errno;
    if (exists && (refused == EACCES || refused == EPERM) && openInPlace())
        return true;
    return fail(refused);
}

bool TReplaceFile::openTemporary(mode_t oldMode, bool exists, uid_t uid, gid_t gid) {
    const QByteArray folder = folderOf(m_target);
    const QByteArray base = m_target.mid(folder.size() + 1).left(200);
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QByteArray name = folder + "/." + base + '.';
        for (int i = 0; i < 6; ++i)
            name += kLetters[QRandomGenerator::global()->bounded(62)];
        // A new file gets the usual permissions; a replacement those of the old file, set below.
        m_fd =
            ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : 0666);
        if (m_fd >= 0) {
            m_temp = name;
            break;
        }
        if (errno != EEXIST)
            return false;
    }
    if (m_fd < 0)
        return false;
    if (exists) {
        // Root replacing a user's file: the file stays the user's (where the system allows it).
        const int owned = ::geteuid() == 0 ? ::fchown(m_fd, uid, gid) : 0;
        Q_UNUSED(owned);
        ::fchmod(m_fd, oldMode & 07777);
    }
    m_mode = Mode::Temporary;
    return true;
}

bool TReplaceFile::openInPlace() {
    m_fd = ::open(m_target.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    // The old content, to be put back when a write fails.
    m_old.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int e = errno;
            closeFd();
            errno = e;
            return false;
        }
        if (n == 0)
            break;
        m_old.append(buffer, n);
    }
    ::lseek(m_fd, 0, SEEK_SET);
    m_mode = Mode::InPlace;
    return true;
}

bool TReplaceFile::write(QByteArrayView bytes) {
    if (m_mode == Mode::Closed)
        return fail(EBADF);
    if (m_errno != 0)
        return false;
    return writeAll(m_fd, bytes.data(), bytes.size(), &m_written) || fail(errno);
}

bool TReplaceFile::commit() {
    if (m_mode == Mode::Closed)
        return fail(EBADF);
    bool ok = m_errno == 0;
    if (ok && m_mode == Mode::InPlace && ::ftruncate(m_fd, m_written) != 0)
        ok = fail(errno);
    if (ok && m_mode != Mode::Direct && ::fdatasync(m_fd) != 0)
        ok = fail(errno);
    if (ok && m_mode != Mode::InPlace) {
        // A close can report what the writes could not (a network file system).
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0)
            ok = fail(errno);
    }
    if (ok && m_mode == Mode::Temporary) {
        if (::rename(m_temp.constData(), m_target.constData()) != 0) {
            ok = fail(errno);
        } else {
            const int folder = ::open(folderOf(m_target).constData(), O_RDONLY | O_DIRECTORY);
            if (folder >= 0) {
                ::fsync(folder);
                ::close(folder);
            }
        }
    }
    if (!ok) {
        cancel();
        return false;
    }
    closeFd();
    m_mode = Mode::Closed;
    return true;
}

void TReplaceFile::cancel() {
    switch (m_mode) {
    case Mode::Closed:
        return;
    case Mode::Temporary:
        closeFd();
        ::unlink(m_temp.constData());
        break;
    case Mode::InPlace:
        if (m_written > 0 && ::lseek(m_fd, 0, SEEK_SET) == 0 &&
            writeAll(m_fd, m_old.constData(), m_old.size(), nullptr) &&
            ::ftruncate(m_fd, m_old.size()) == 0)
            ::fdatasync(m_fd);
        closeFd();
        break;
    case Mode::Direct:
        closeFd();
        break;
    }
    m_mode = Mode::Closed;
}

} // namespace platform
