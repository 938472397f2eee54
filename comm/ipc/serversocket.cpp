// SPDX-License-Identifier: MIT
#include "comm/ipc/serversocket.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace comm {

QString localServerDirectory(QString* error) {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const QString dir = !runtime.isEmpty() ? QFile::decodeName(runtime) + QStringLiteral("/journal")
                                           : QStringLiteral("/tmp/journal-%1").arg(::getuid());
    const QByteArray path = QFile::encodeName(dir);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        if (error)
            *error = QStringLiteral("не удаётся создать %1: %2")
                         .arg(dir, QString::fromLocal8Bit(std::strerror(errno)));
        return {};
    }
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error)
            *error = QStringLiteral("%1 — не папка").arg(dir);
        return {};
    }
    if (st.st_uid != ::getuid()) {
        if (error)
            *error = QStringLiteral("%1 принадлежит другому пользователю").arg(dir);
        return {};
    }
    if ((st.st_mode & 0777) != 0700 && ::chmod(path.constData(), 0700) != 0) {
        if (error)
            *error = QStringLiteral("не удаётся закрыть %1 для других пользователей").arg(dir);
        return {};
    }
    return dir;
}

QString localServerSocketPath(QString* error) {
    const QString dir = localServerDirectory(error);
    return dir.isEmpty() ? QString() : dir + QStringLiteral("/exchange-server.sock");
}

} // namespace comm
