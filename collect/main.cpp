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

void onStopSignal(int) {
    g_stop = 1;
}

void printError(const QString& text) {
    (void)cli::WriteText(stderr, text + u'\n');
}

// Serves until SIGINT or SIGTERM.
int RunUntilStopped(QCoreApplication& app) {
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [] {
        if (g_stop)
            QCoreApplication::quit();
    });
    poll.start(50);
    return app.exec();
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
    return RunUntilStopped(app);
}
