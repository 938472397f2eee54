// SPDX-License-Identifier: MIT
// Process set-up shared by the fuzz targets: a Qt application object (the serial and file code
// expects one) and the Russian locale the tool's texts are made for.
#include <QCoreApplication>
#include <QLocale>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    static int appArgc = 1;
    static char* appArgv[] = {(*argv)[0], nullptr};
    static QCoreApplication app(appArgc, appArgv);
    (void)argc;
    return 0;
}
