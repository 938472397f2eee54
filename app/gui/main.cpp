// SPDX-License-Identifier: MIT
#include "app/core/timeformats.h"
#include "app/gui/mainform.h"
#include "app/gui/savefilechooser.h"
#include "archive/archivewriter.h"
#include "platform/cataloguelocation.h"
#include "platform/portlist.h"

#include <QApplication>
#include <QLocale>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("journal-reader"));
    QApplication::setApplicationDisplayName(QStringLiteral("Журнал событий прибора"));
    // Qt's own dialogs (the save dialog, message box buttons) speak the window's language, and
    // under a locale that names no language (C, POSIX) show Russian dates like the window.
    gui::InstallQtTranslation();
    QLocale::setDefault(core::TextLocale());

    gui::TForm1Options options;
    options.programDirectory = platform::programDirectory();
    platform::CatalogueLocation catalogue = platform::catalogueLocation(options.programDirectory);
    QString seedMessage;
    if (!platform::seedUserMainIni(catalogue, &seedMessage))
        qWarning("%s", qPrintable(seedMessage));
    options.mainIniPath = catalogue.mainIniPath;
    options.deviceDirectory = catalogue.deviceDirectory;
    int status = 0;
    {
        TForm1 form(std::move(options));
        form.show();
        status = app.exec();
    }
    // The window's archive writer, when its archive did not answer by the deadline, may still be
    // inside the database driver: the static destructors must not run under it.
    if (archive::TArchiveWriter::Abandoned() > 0) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
