// SPDX-License-Identifier: MIT
// The collector's status page in a real browser (headless chromium): the table of the archive's
// instruments, and a series downloaded from it equal to journal-read --from-archive's file.
#include "archive/journalarchive.h"
#include "platform/codepage.h"
#include "sim/simulator.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

namespace {

const QString kCatalogue = QStringLiteral(JOURNAL_SOURCE_DIR "/examples");

// Runs a program of the build to its end; its exit code, -1 when it did not end normally.
int RunProgram(const QString& program, const QStringList& arguments) {
    QProcess p;
    p.start(QStringLiteral(JOURNAL_BIN_DIR "/") + program, arguments);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    return p.exitCode();
}

// chromium, headless, with its profile in `profile`: the DOM of `url` after it has loaded.
QString BrowserDom(const QString& chromium, const QString& profile, const QString& url) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), profile);
    p.setProcessEnvironment(env);
    p.start(chromium,
            {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--user-data-dir=" + profile, "--virtual-time-budget=5000", "--dump-dom", url});
    if (!p.waitForFinished(90000)) {
        p.kill();
        p.waitForFinished();
    }
    return QString::fromUtf8(p.readAllStandardOutput());
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(StatusPage, ShowsTheTableAndDownloadsTheSeriesInABrowser) {
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        GTEST_SKIP() << "chromium is not installed (scripts/setup installs it)";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString archivePath = dir.filePath("archive.sqlite");

    // One reading of the sample instrument stored in the archive, and the state a collector
    // keeps of it.
    auto instrument = sim::Instrument::fromFile(JOURNAL_SOURCE_DIR "/sim/content/rt10.sim");
    ASSERT_TRUE(instrument);
    sim::Simulator simulator(*instrument);
    ASSERT_TRUE(simulator.start());
    const QString port = simulator.clientPath();
    ASSERT_EQ(RunProgram("journal-read", {"--catalogue", kCatalogue, "--device", "1", "--journal",
                                          "1", "--port", port, "--address", "1", "--output",
                                          dir.filePath("read.txt"), "--archive", archivePath}),
              0);
    {
        archive::TJournalArchive archive;
        ASSERT_TRUE(archive.Open(archivePath));
        archive::TInstrumentState state;
        state.instrument = QStringLiteral("Котельная <1>"); // escaped on the page
        state.line = state.port = port;
        state.deviceName = QStringLiteral("Регулятор РТ-10");
        state.journals = {1};
        state.lastReading = QDateTime::currentDateTimeUtc();
        state.newRecords = 14;
        state.collector = QStringLiteral("test");
        // The collector of the test keeps this schedule and does not read it again now.
        state.nextReading = state.lastReading.addSecs(3600);
        ASSERT_TRUE(archive.StoreInstrumentState(state)) << archive.error().toStdString();
    }
    ASSERT_TRUE(
        WriteFile(dir.filePath("collect.ini"),
                  platform::toCp1251(QStringLiteral("[Котельная <1>]\r\nPort=%1\r\n"
                                                    "Address=1\r\nDevice=1\r\nEvery=15m\r\n")
                                         .arg(port))));

    QProcess collector;
    collector.setReadChannel(QProcess::StandardError); // where it names the page's address
    collector.start(QStringLiteral(JOURNAL_BIN_DIR "/journal-collect"),
                    {"--catalogue", kCatalogue, "--config", dir.filePath("collect.ini"),
                     "--archive", archivePath, "--http", "0"});
    QString said;
    static const QRegularExpression kAddress(QStringLiteral("http://127\\.0\\.0\\.1:[0-9]+/"));
    while (!kAddress.match(said).hasMatch() && collector.waitForReadyRead(10000))
        said += QString::fromUtf8(collector.readAllStandardError());
    const QString url = kAddress.match(said).captured();
    ASSERT_FALSE(url.isEmpty()) << said.toStdString();

    const QString profile = dir.filePath("profile");
    const QString page = BrowserDom(chromium, profile, url);
    const QRegularExpression row(QStringLiteral(
        "<tr class=\"ok\"><td>Котельная &lt;1&gt;</td><td>[^<]*</td><td>[^<]+</td><td>14</td>"
        "<td>0</td><td>в порядке</td>.*href=\"(/series/[0-9]+\\.txt)\""));
    const auto match = row.match(page);
    ASSERT_TRUE(match.hasMatch()) << page.toStdString();

    // The browser downloads the file of the page's link (through a frame of a local page: a
    // download is not a document to dump) into the folder its preferences name.
    const QString downloads = dir.filePath("downloads");
    ASSERT_TRUE(QDir().mkpath(profile + "/Default"));
    ASSERT_TRUE(WriteFile(profile + "/Default/Preferences",
                          QStringLiteral("{\"download\":{\"default_directory\":\"%1\","
                                         "\"prompt_for_download\":false}}")
                              .arg(downloads)
                              .toUtf8()));
    ASSERT_TRUE(
        WriteFile(dir.filePath("download.html"), QStringLiteral("<iframe src=\"%1%2\"></iframe>")
                                                     .arg(url.chopped(1), match.captured(1))
                                                     .toUtf8()));
    // The browser may leave before a download on a busy machine has finished: it is asked again.
    QStringList got;
    for (int attempt = 0; attempt < 3 && got.isEmpty(); ++attempt) {
        BrowserDom(chromium, profile, "file://" + dir.filePath("download.html"));
        got = QDir(downloads).entryList({"*.txt"}, QDir::Files);
    }
    ASSERT_EQ(got.size(), 1) << QDir(downloads).entryList(QDir::Files).join(' ').toStdString();

    const QString series = match.captured(1).section('/', 2).section('.', 0, 0);
    ASSERT_EQ(RunProgram("journal-read",
                         {"--catalogue", kCatalogue, "--archive", archivePath, "--from-archive",
                          series, "--output", dir.filePath("from-archive.txt")}),
              0);
    const QByteArray expected = ReadFile(dir.filePath("from-archive.txt"));
    EXPECT_FALSE(expected.isEmpty());
    EXPECT_EQ(ReadFile(downloads + "/" + got.front()), expected);

    collector.terminate();
    EXPECT_TRUE(collector.waitForFinished(5000));
}
