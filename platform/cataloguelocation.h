// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// Where main.ini and the device description files live.
//
// From the build tree (or any copy of the programs with a main.ini beside them) both are in the
// program directory, which is writable. An installed program's directory is not: the installation
// puts the default catalogue in <prefix>/share/journal-reader, and each user gets a main.ini of
// their own in $XDG_CONFIG_HOME/journal-reader (~/.config/journal-reader), seeded from the
// installed default on first start; a device file named in it is looked for beside the user's
// main.ini first (a device of one's own), then beside the installed default.
namespace platform {

struct CatalogueLocation {
    QString mainIniPath;     // the main.ini that is read and written
    QString deviceDirectory; // where device files not beside main.ini are looked for
    QString defaultMainIni;  // the installed default main.ini; empty outside an installation
    bool installed() const { return !defaultMainIni.isEmpty(); }
};

// The installed default catalogue folder relative to the program directory (set at build time
// from the installation layout, e.g. "../../share/journal-reader").
QString installedCatalogueRelativePath();

// The location for programs in `programDirectory`: the program directory when it holds a
// main.ini or when no installed default catalogue is found from it; otherwise the user's
// configuration folder (`configHome` overrides $XDG_CONFIG_HOME, for tests).
CatalogueLocation catalogueLocation(const QString& programDirectory,
                                    const QString& configHome = QString());

// Copies the installed default main.ini to the user's main.ini when that does not exist yet.
// False with `message` when the copy cannot be made; the program then reads the installed
// default itself (`location.mainIniPath` is switched to it), and settings are not kept.
bool seedUserMainIni(CatalogueLocation& location, QString* message = nullptr);

} // namespace platform
