// SPDX-License-Identifier: MIT
#include "platform/cataloguelocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifndef JOURNAL_INSTALLED_CATALOGUE_REL
#define JOURNAL_INSTALLED_CATALOGUE_REL "../../share/journal-reader"
#endif

namespace platform {
namespace {

const QString kMainIni = QStringLiteral("main.ini");
const QString kConfigFolder = QStringLiteral("journal-reader");

QString configHomeFolder(const QString& overridden) {
    if (!overridden.isEmpty())
        return overridden;
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (QDir::isAbsolutePath(xdg))
        return xdg;
    return QDir::home().filePath(QStringLiteral(".config"));
}

} // namespace

QString installedCatalogueRelativePath() {
    return QStringLiteral(JOURNAL_INSTALLED_CATALOGUE_REL);
}

CatalogueLocation catalogueLocation(const QString& programDirectory, const QString& configHome) {
    const QDir program(programDirectory);
    CatalogueLocation location;
    location.mainIniPath = program.filePath(kMainIni);
    location.deviceDirectory = program.path();
    if (QFileInfo::exists(location.mainIniPath))
        return location;

    const QString installed = QDir::cleanPath(program.filePath(installedCatalogueRelativePath()));
    const QString defaultMainIni = QDir(installed).filePath(kMainIni);
    if (!QFileInfo(defaultMainIni).isFile())
        return location; // a build tree without main.ini yet: everything reads as defaults

    location.defaultMainIni = defaultMainIni;
    location.deviceDirectory = installed;
    location.mainIniPath =
        QDir(QDir(configHomeFolder(configHome)).filePath(kConfigFolder)).filePath(kMainIni);
    return location;
}

bool seedUserMainIni(CatalogueLocation& location, QString* message) {
    if (!location.installed() || QFileInfo::exists(location.mainIniPath))
        return true;
    const QString folder = QFileInfo(location.mainIniPath).absolutePath();
    bool ok = QDir().mkpath(folder);
    if (ok) {
        // Copied through a temporary name, so that a half-written file is never taken for the
        // user's settings.
        const QString temporary = location.mainIniPath + QStringLiteral(".new");
        QFile::remove(temporary);
        ok = QFile::copy(location.defaultMainIni, temporary) &&
             QFile::setPermissions(temporary, QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ReadGroup | QFile::ReadOther) &&
             QFile::rename(temporary, location.mainIniPath);
        if (!ok)
            QFile::remove(temporary);
    }
    if (ok)
        return true;
    if (message)
        *message = QStringLiteral("Unable to write to %1").arg(location.mainIniPath);
    location.mainIniPath = location.defaultMainIni;
    return false;
}

} // namespace platform
