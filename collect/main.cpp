// SPDX-License-Identifier: MIT
// journal-collect: reads the journals of every instrument of a list into the journal archive,
// unattended; shows their state (--status, the status page) and checks the list (--check).
#include "app/cli/journalread.h"
#include "app/core/selectors.h"
#include "collect/collectargs.h"
#include "collect/collector.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_reload = 0;

void onStopSignal(int) {
    g_stop = 1;
}

void onReloadSignal(int) {
    g_reload = 1;
}

void printError(const QString& text) {
    (void)cli::WriteText(stderr, text + u'\n');
}

// Reads and serves until SIGINT or SIGTERM (or, with --once, until every instrument was read);
// SIGHUP rereads the list. The readings end between two requests and store what they read.
int RunUntilStopped(QCoreApplication& app, collect::TCollectorService& service, bool once,
                    const collect::TCollectIo& io) {
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGHUP, onReloadSignal);
    service.StartLines(io);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (g_reload && !g_stop) {
            g_reload = 0;
            service.Reload(io);
        }
        if (g_stop || (once && service.LinesFinished()))
            QCoreApplication::quit();
    });
    poll.start(50);
    app.exec();
    service.StopLines();
    return once ? service.OnceStatus(io) : collect::kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("journal-collect"));
    std::signal(SIGPIPE, SIG_IGN);

    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    const collect::TCollectParse parsed = collect::ParseCollectCommandLine(arguments);
    if (!parsed.options) {
        printError(collect::CollectUsageError(parsed.error));
        return collect::kExitUsage;
    }
    const collect::TCollectOptions& options = *parsed.options;
    if (options.help || options.version)
        return cli::StandardOutputStatus(
            cli::WriteText(stdout, options.help ? collect::CollectUsageText()
                                                : QStringLiteral("journal-collect, версия ПО %1\n")
                                                      .arg(core::ProgramVersionText())),
            stderr);
    QString usage;
    const auto token = collect::PageToken(options, &usage);
    core::TCatalogue catalogue;
    if (!token || !collect::LoadCatalogue(options, catalogue, &usage)) {
        printError(collect::CollectUsageError(usage));
        return collect::kExitUsage;
    }
    const collect::TCollectIo io;
    if (options.check)
        return collect::CheckList(
            collect::ReadInstrumentList(options.config.isEmpty()
                                            ? collect::DefaultListPath(catalogue.MainIniPath)
                                            : options.config,
                                        catalogue),
            io);
    if (options.status) {
        QString error;
        const auto url = collect::CollectorArchiveUrl(options, catalogue, &error);
        if (!url) {
            printError(error);
            return collect::kExitFailed;
        }
        return collect::PrintStatus(*url, io);
    }
    collect::TCollectorService service(options, catalogue, *token);
    if (!service.Start(io))
        return collect::kExitFailed;
    return RunUntilStopped(app, service, options.once, io);
}
