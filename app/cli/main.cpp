// SPDX-License-Identifier: MIT
// journal-read: reads an instrument's journal without a window and saves it as the window does.
#include "app/cli/cliargs.h"
#include "app/cli/journalread.h"
#include "app/core/accesslibrarybinding.h"
#include "app/core/catalogue.h"
#include "app/core/selectors.h"
#include "archive/abortableconnections.h"
#include "archive/archivewriter.h"
#include "platform/cataloguelocation.h"
#include "platform/portlist.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "read and written by a signal handler");

// Ctrl-C, SIGTERM and SIGHUP ask the run to stop like "Остановить" (the records read so far are
// written); the handler is then reset, so a second signal ends the program at once.
void onStopSignal(int signal) {
    g_stopSignal = signal;
}

// A stop signal ends every wait on the archive within about a second: the writer gives up after
// its grace (TArchiveWriter::Finish), and a query this program waits for on a server that does
// not answer is cut here.
void WatchStopSignalForArchive() {
    std::thread([] {
        while (g_stopSignal == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::this_thread::sleep_for(std::chrono::milliseconds(archive::kWriterStopGraceMs));
        archive::AbortConnections();
    }).detach();
}

// A writer's thread still inside the database driver must not meet the static destructors.
int Exit(int status) {
    if (archive::TArchiveWriter::Abandoned() > 0) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

void printError(const QString& text) {
    std::fputs(text.toUtf8().constData(), stderr);
    std::fputc('\n', stderr);
}

// Why the output or the trace cannot be written, found before anything is opened; empty when
// they can.
QString CheckOutputs(const cli::TCliOptions& options) {
    // A workbook on a terminal is of no use to anybody; into a pipe or a file it is.
    if (options.toStandardOutput() && options.format == core::TExportFormat::Spreadsheet &&
        ::isatty(STDOUT_FILENO))
        return QStringLiteral(
            "--output -: книга xlsx не выводится на терминал, направьте вывод в файл или канал");
    if (options.list || options.search)
        return {};
    for (const auto& [file, option] :
         {std::pair{options.output, "--output"}, std::pair{options.trace, "--trace"}}) {
        const bool checked =
            !file.isEmpty() && !(file == options.output && options.toStandardOutput());
        if (const QString error =
                checked ? cli::CheckOutputFile(file, QLatin1String(option)) : QString();
            !error.isEmpty())
            return error;
    }
    return {};
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
        return cli::StandardOutputStatus(cli::WriteText(stdout, text), stderr);
    }
    if (const QString error = CheckOutputs(options); !error.isEmpty()) {
        printError(cli::UsageError(error));
        return cli::kExitUsage;
    }

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    // A reader of standard output that goes away (`| head`) makes a failed write with its
    // message and status 1, not the end of the program before the archive has the reading.
    std::signal(SIGPIPE, SIG_IGN);

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
    io.stopRequested = [] { return g_stopSignal != 0; };
    if (options.list)
        return cli::ListCatalogue(catalogue, stdout, stderr);
    WatchStopSignalForArchive();
    if (options.archiveList)
        return cli::ListArchive(options, catalogue, io);
    if (options.fromArchive)
        return cli::ExportFromArchive(options, catalogue, io);

    core::TAccessLibraryBinding library;
    if (!library.LoadAccessLibrary(programDirectory, nullptr) || !library.isComplete()) {
        printError(QStringLiteral("Библиотека OmbrelDLL.dll не найдена"));
        printError(library.loadError());
        return cli::kExitRefused;
    }

    const int status = options.search ? cli::SearchInstrument(options, catalogue, library, io)
                                      : cli::ReadJournal(options, catalogue, library, io);
    return Exit(status == cli::kExitInterrupt ? cli::kExitSignal + g_stopSignal : status);
}
