// SPDX-License-Identifier: MIT
#include "app/core/timeformats.h"
#include "app/gui/mainform.h"
#include "app/gui/savefilechooser.h"
#include "platform/cataloguelocation.h"
#include "platform/portlist.h"

#include <QApplication>
#include <QLocale>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("journal-reader"));
    QApplication::setApplicationDisplayName(QStringLiteral("Журнал событий прибора"));
    // Qt's own dialogs (the save dialog, message box buttons) speak the window's language, and
    // under a locale that names no language (C, POSIX) show Russian dates like the window.
    InstallQtTranslation();
    QLocale::setDefault(core::TextLocale());

    TForm1Options options;
    options.programDirectory = platform::programDirectory();
    platform::CatalogueLocation catalogue = platform::catalogueLocation(options.programDirectory);
    QString seedMessage;
    if (!platform::seedUserMainIni(catalogue, &seedMessage))
        qWarning("%s", qPrintable(seedMessage));
    options.mainIniPath = catalogue.mainIniPath;
    options.deviceDirectory = catalogue.deviceDirectory;
    TForm1 form(std::move(options));
    form.show();
    return app.exec();
}
