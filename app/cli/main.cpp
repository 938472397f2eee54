// journal-read: reads an instrument's journal without a window and saves it as the window does.
#include "app/cli/cliargs.h"
#include "app/cli/journalread.h"
#include "app/core/accesslibrarybinding.h"
#include "app/core/catalogue.h"
#include "app/core/mainformlogic.h"
#include "platform/cataloguelocation.h"
#include "platform/portlist.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

// The first Ctrl-C asks the run to stop like "Остановить"; the handler is then reset, so a
// second one ends the program at once.
void onInterrupt(int) {
    g_interrupted = 1;
}

void printError(const QString& text) {
    std::fputs(text.toUtf8().constData(), stderr);
    std::fputc('\n', stderr);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("journal-read"));

    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    const cli::TParseResult parsed = cli::ParseCommandLine(arguments);
    if (!parsed.options) {
        printError(cli::UsageError(parsed.error));
        return cli::kExitUsage;
    }
    const cli::TCliOptions& options = *parsed.options;
    if (options.help || options.version) {
        const QString text =
            options.help
                ? cli::UsageText()
                : QStringLiteral("journal-read, версия ПО %1\n").arg(core::ProgramVersionText());
        std::fputs(text.toUtf8().constData(), stdout);
        return cli::kExitOk;
    }

    struct sigaction action {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);

    const QString programDirectory = platform::programDirectory();
    core::TCatalogue catalogue;
    if (options.catalogue.isEmpty()) {
        platform::CatalogueLocation location = platform::catalogueLocation(programDirectory);
        platform::seedUserMainIni(location);
        catalogue.Load(location.mainIniPath, location.deviceDirectory);
    } else {
        if (const QString error = cli::CheckCatalogueFolder(options.catalogue); !error.isEmpty()) {
            printError(cli::UsageError(error));
            return cli::kExitUsage;
        }
        catalogue.Load(QDir(options.catalogue).absolutePath());
    }
    for (const QString& problem : catalogue.Errors)
        printError(problem);
    if (const QString error = cli::CheckDeviceAndJournal(options, catalogue); !error.isEmpty()) {
        printError(cli::UsageError(error));
        return cli::kExitUsage;
    }

    cli::TCliIo io;
    io.terminal = ::isatty(STDERR_FILENO) != 0;
    io.stopRequested = [] { return g_interrupted != 0; };
    if (options.list)
        return cli::ListCatalogue(catalogue, stdout);
    if (options.archiveList)
        return cli::ListArchive(options, catalogue, io);
    if (options.fromArchive)
        return cli::ExportFromArchive(options, catalogue, io);

    TAccessLibraryBinding library;
    if (!library.LoadAccessLibrary(programDirectory, nullptr) || !library.isComplete()) {
        printError(QStringLiteral("Библиотека OmbrelDLL.dll не найдена"));
        printError(library.loadError());
        return cli::kExitRefused;
    }

    return cli::ReadJournal(options, catalogue, library, io);
}
