// SPDX-License-Identifier: MIT
#include "comm/serverlocation.h"

#include "platform/portlist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace comm {

QString ServerLocation::key() const {
    if (kind == TConnectKind::ckLocal)
        return QStringLiteral("local:") + socketPath;
    return QStringLiteral("tcp:%1:%2").arg(host, QString::number(port));
}

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

QString exchangeServerProgram() {
    const QByteArray env = qgetenv("JOURNAL_EXCHANGE_SERVER");
    if (!env.isEmpty())
        return QFile::decodeName(env);
    return QDir(platform::programDirectory()).filePath(QLatin1String(kServerProgramName));
}

ServerLocation serverLocationFor(TConnectKind kind, const QString& remoteMachineName) {
    ServerLocation loc;
    loc.kind = kind;
    if (kind == TConnectKind::ckLocal) {
        loc.socketPath = localServerSocketPath();
        return loc;
    }
    QString host = remoteMachineName.trimmed();
    loc.port = kDefaultServerPort;
    const qsizetype colon = host.lastIndexOf(u':');
    if (colon > 0 && !host.startsWith(u'[')) {
        bool ok = false;
        const uint port = host.mid(colon + 1).toUInt(&ok);
        if (ok && port > 0 && port < 65536) {
            loc.port = quint16(port);
            host.truncate(colon);
        }
    }
    loc.host = host.isEmpty() ? QStringLiteral("localhost") : host;
    loc.token = QString::fromUtf8(qgetenv("JOURNAL_SERVER_TOKEN"));
    return loc;
}

} // namespace comm
