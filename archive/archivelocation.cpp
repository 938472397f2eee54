// SPDX-License-Identifier: MIT
#include "archive/archivelocation.h"

#include <QDir>
#include <QUrl>
#include <QUrlQuery>

namespace archive {

namespace {

const QString kSqliteScheme = QStringLiteral("sqlite://");

std::optional<TArchiveLocation> Fail(QString* error, const QString& url, const QString& why) {
    if (error)
        *error =
            QStringLiteral("Неверный адрес архива журналов \"%1\": %2").arg(HidePassword(url), why);
    return std::nullopt;
}

std::optional<TArchiveLocation> ParsePostgresUrl(const QString& text, QString* error) {
    const QUrl url(text, QUrl::StrictMode);
    // QUrl's own error text is English and repeats the whole URL, password included.
    if (!url.isValid())
        return Fail(error, text, QStringLiteral("адрес записан неверно"));
    TArchiveLocation location;
    location.engine = TArchiveEngine::PostgreSQL;
    location.user = url.userName(QUrl::FullyDecoded);
    location.password = url.password(QUrl::FullyDecoded);
    location.host = url.host(QUrl::FullyDecoded);
    location.port = url.port(-1);
    location.database = url.path(QUrl::FullyDecoded).mid(1);
    const QUrlQuery query(url);
    const QString socketFolder = query.queryItemValue(QStringLiteral("host"), QUrl::FullyDecoded);
    for (const auto& item : query.queryItems()) {
        if (item.first != QLatin1String("host"))
            return Fail(error, text, QStringLiteral("неизвестный параметр %1").arg(item.first));
    }
    if (!socketFolder.isEmpty()) {
        if (!location.host.isEmpty())
            return Fail(error, text, QStringLiteral("указаны и сервер, и папка сокета"));
        location.host = socketFolder;
    }
    if (location.host.isEmpty())
        return Fail(error, text, QStringLiteral("не указан сервер"));
    if (location.database.isEmpty() || location.database.contains(QLatin1Char('/')))
        return Fail(error, text, QStringLiteral("не указана база данных"));
    return location;
}

std::optional<TArchiveLocation> SqliteLocation(const QString& path) {
    TArchiveLocation location;
    location.path = path;
    return location;
}

} // namespace

QString HidePassword(const QString& url) {
    const qsizetype scheme = url.indexOf(QLatin1String("://"));
    if (scheme < 0)
        return url;
    const qsizetype start = scheme + 3;
    qsizetype end = start;
    while (end < url.size() && url[end] != u'/' && url[end] != u'?' && url[end] != u'#')
        ++end;
    const qsizetype at = url.lastIndexOf(u'@', end - 1);
    const qsizetype colon = url.indexOf(u':', start);
    if (at < start || colon < 0 || colon > at)
        return url;
    return url.left(colon + 1) + QStringLiteral("***") + url.mid(at);
}

QString TArchiveLocation::displayName() const {
    if (engine == TArchiveEngine::SQLite)
        return path;
    QString where = host.startsWith(QLatin1Char('/'))
                        ? QStringLiteral("/%1?host=%2").arg(database, host)
                        : QStringLiteral("%1%2/%3")
                              .arg(host)
                              .arg(port >= 0 ? QStringLiteral(":%1").arg(port) : QString())
                              .arg(database);
    const QString hidden = password.isEmpty() ? QString() : QStringLiteral(":***");
    return QStringLiteral("postgresql://%1%2")
        .arg(user.isEmpty() && hidden.isEmpty() ? QString() : user + hidden + QLatin1Char('@'),
             where);
}

std::optional<TArchiveLocation> ParseArchiveUrl(const QString& url, QString* error) {
    const QString text = url.trimmed();
    if (text.isEmpty())
        return Fail(error, url, QStringLiteral("пустой адрес"));
    if (text.startsWith(QLatin1String("postgresql://")) ||
        text.startsWith(QLatin1String("postgres://")))
        return ParsePostgresUrl(text, error);
    if (text.startsWith(kSqliteScheme)) {
        const QString path = QUrl::fromPercentEncoding(text.mid(kSqliteScheme.size()).toUtf8());
        if (!path.startsWith(QLatin1Char('/')))
            return Fail(error, url, QStringLiteral("путь к файлу должен начинаться с \"/\""));
        return SqliteLocation(path);
    }
    const qsizetype scheme = text.indexOf(QLatin1String("://"));
    if (scheme > 0 && !text.left(scheme).contains(QLatin1Char('/')))
        return Fail(error, url, QStringLiteral("неизвестный вид архива %1").arg(text.left(scheme)));
    return SqliteLocation(text);
}

QString DefaultArchivePath(const QString& xdgDataHome, const QString& home) {
    const QString base =
        QDir::isAbsolutePath(xdgDataHome) ? xdgDataHome : home + QStringLiteral("/.local/share");
    return QDir::cleanPath(base + QStringLiteral("/journal-reader/archive.sqlite"));
}

TArchiveSetting ResolveArchiveSetting(const TArchiveSettingSources& sources) {
    if (sources.noArchiveOption)
        return {false, {}};
    if (!sources.optionUrl.isEmpty())
        return {true, sources.optionUrl};
    if (sources.iniEnabled && *sources.iniEnabled == 0)
        return {false, {}};
    for (const QString* url : {&sources.environmentUrl, &sources.iniUrl}) {
        if (!url->trimmed().isEmpty())
            return {true, url->trimmed()};
    }
    return {true, sources.defaultPath};
}

TArchiveSettingSources ArchiveSettingSourcesFromEnvironment() {
    TArchiveSettingSources sources;
    sources.environmentUrl = qEnvironmentVariable("JOURNAL_ARCHIVE");
    sources.defaultPath =
        DefaultArchivePath(qEnvironmentVariable("XDG_DATA_HOME"), QDir::homePath());
    return sources;
}

} // namespace archive
