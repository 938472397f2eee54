// SPDX-License-Identifier: MIT
#include "collect/pageaccess.h"

#include <QFile>

namespace collect {

TPageAccess::TPageAccess(const QString& token, platform::TokenThrottle::Clock clock)
    : m_token(token), m_throttle(std::move(clock)) {}

std::optional<QString> TPageAccess::PresentedToken(const QByteArray& authorization) {
    const QByteArray header = authorization.trimmed();
    const qsizetype blank = header.indexOf(' ');
    if (blank <= 0)
        return std::nullopt;
    const QByteArray scheme = header.left(blank).toLower();
    const QByteArray value = header.mid(blank + 1).trimmed();
    if (scheme == "bearer")
        return QString::fromUtf8(value);
    if (scheme != "basic")
        return std::nullopt;
    const auto decoded =
        QByteArray::fromBase64Encoding(value, QByteArray::AbortOnBase64DecodingErrors);
    const qsizetype colon = decoded.decoded.indexOf(':');
    if (!decoded || colon < 0)
        return std::nullopt;
    return QString::fromUtf8(decoded.decoded.mid(colon + 1));
}

TPageAccess::TVerdict TPageAccess::Check(const QString& peer, const QByteArray& authorization) {
    if (m_token.isEmpty())
        return {};
    const auto presented = PresentedToken(authorization);
    if (!presented)
        return {401, 0};
    if (const qint64 wait = m_throttle.checkDelay(peer); wait > 0)
        return {429, (wait + 999) / 1000};
    const bool right = platform::sameToken(*presented, m_token);
    m_throttle.checked(peer, right);
    return right ? TVerdict{} : TVerdict{401, 0};
}

QString LoadPageToken(const QString& file, QString* error) {
    if (file.isEmpty())
        return qEnvironmentVariable("JOURNAL_COLLECT_TOKEN").trimmed();
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("--token-file: файл %1 не читается: %2").arg(file, f.errorString());
        return {};
    }
    const QString token = QString::fromUtf8(f.readLine(4096)).trimmed();
    if (token.isEmpty())
        *error = QStringLiteral("--token-file: в первой строке файла %1 нет ключа").arg(file);
    return token;
}

} // namespace collect
