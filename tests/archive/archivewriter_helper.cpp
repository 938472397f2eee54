// SPDX-License-Identifier: MIT
// A reading's archive writer in a process of its own, for the tests: appends records FIRST to
// FIRST+COUNT-1 (the bytes of RecordBytes for SEED) as a reading would, PACE microseconds apart.
//
//   archivewriter_helper URL FIRST COUNT [--seed S] [--pace-us P] [--into SERIES]
//                        [--device NAME] [--file-limit BYTES]
//
// Prints "series ID continued 0|1 stored N" at the end. Exit status: 0 stored, 3 the archive
// failed and the reading went on (its one message on standard error), 2 wrong command line.
#include "archive/archivewriter.h"
#include "archivecontent.h"

#include <QCoreApplication>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <thread>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.size() < 3)
        return 2;
    const QString url = args.takeFirst();
    const qint64 first = args.takeFirst().toLongLong();
    const qint64 count = args.takeFirst().toLongLong();
    int seed = 1;
    int paceUs = 0;
    std::optional<qint64> into;
    archive::TReadingInfo info;
    info.time = QDateTime::currentDateTime();
    info.port = QStringLiteral("COM5");
    info.speed = 19200;
    info.journal = {QStringLiteral("Регулятор РТ-10"), QStringLiteral("rt10.ini"), 1,
                    QStringLiteral("События"), 0};
    while (args.size() >= 2) {
        const QString option = args.takeFirst();
        const QString value = args.takeFirst();
        if (option == QLatin1String("--seed")) {
            seed = value.toInt();
        } else if (option == QLatin1String("--pace-us")) {
            paceUs = value.toInt();
        } else if (option == QLatin1String("--into")) {
            into = value.toLongLong();
            info.kind = archive::TReadingKind::Incremental;
        } else if (option == QLatin1String("--device")) {
            info.journal.deviceName = value;
        } else if (option == QLatin1String("--file-limit")) {
            // The disk is full once the files reach this size.
            std::signal(SIGXFSZ, SIG_IGN);
            const rlim_t limit = value.toULongLong();
            const rlimit rl{limit, limit};
            setrlimit(RLIMIT_FSIZE, &rl);
        } else {
            return 2;
        }
    }
    archive::TArchiveWriter writer(url);
    writer.Begin(info, into);
    for (qint64 n = first; n < first + count; ++n) {
        writer.AppendRecord(n, 0, RecordBytes(n, seed));
        if (paceUs > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(paceUs));
    }
    const auto outcome = writer.Finish();
    if (const auto error = writer.TakeError()) {
        std::fprintf(stderr, "%s\n", qPrintable(*error));
        return 3;
    }
    std::printf("series %lld continued %d stored %lld\n",
                static_cast<long long>(outcome.seriesId.value_or(0)), outcome.continued ? 1 : 0,
                static_cast<long long>(outcome.stored));
    return 0;
}
