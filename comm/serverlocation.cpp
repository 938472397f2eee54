// SPDX-License-Identifier: MIT
#include "comm/serverlocation.h"

#include "platform/portlist.h"

#include <QDir>
#include <QFile>

namespace comm {

QString ServerLocation::key() const {
    if (kind == TConnectKind::ckLocal)
        return QStringLiteral("local:") + socketPath;
    return QStringLiteral("tcp:%1:%2").arg(host, QString::number(port));
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
