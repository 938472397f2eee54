// SPDX-License-Identifier: MIT
// An archive that cannot be opened or written: one message, and the reading goes on.
#include "archivetestfixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class ArchiveFaultTest : public ArchiveTest {
public:
    void TearDown() override {
        m_locker.reset();
        QSqlDatabase::removeDatabase(QStringLiteral("fault-locker"));
        chmod(m_dir.path().toLocal8Bit().constData(), 0755);
    }

    // Another program holding the archive (SQLite) or the records table (PostgreSQL).
    void HoldLock() {
        Open(); // the schema exists
        QSqlDatabase db = RawConnection(QStringLiteral("fault-locker"));
        ASSERT_TRUE(db.open());
        m_locker = std::make_unique<QSqlQuery>(db);
        const bool sqlite = GetParam() == Engine::SQLite;
        ASSERT_TRUE(
            m_locker->exec(sqlite ? QStringLiteral("BEGIN EXCLUSIVE") : QStringLiteral("BEGIN")));
        if (!sqlite) {
            ASSERT_TRUE(
                m_locker->exec(QStringLiteral("LOCK TABLE records IN ACCESS EXCLUSIVE MODE")));
        }
    }

    // Ends every other connection to the test's database, as a server restart would.
    void EndConnections() {
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("fault-locker")));
        ASSERT_TRUE(query.exec(
            QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                           " WHERE datname = current_database() AND pid <> pg_backend_pid()")));
    }

    std::unique_ptr<QSqlQuery> m_locker;
};

struct FaultCase {
    const char* name;
    const char* says; // a pattern the error text matches: the Russian sentence, then the driver's
    Engine engine;
    std::function<void(ArchiveFaultTest&, QString& url)> before; // breaks the archive
    bool midway = false; // the connection ends after the first records were committed
    bool opensAfter = true;
};

// Every case also checks that the driver's warnings stay off standard error and that a password in
// the URL shows as "***".
TEST_P(ArchiveFaultTest, ReportsOneErrorAndLetsTheReadingGoOn) {
    static QStringList s_warnings;
    s_warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { s_warnings << text; });
    const FaultCase cases[] = {
        {"a corrupt file", "не является архивом журналов \\(file is not a database", Engine::SQLite,
         [](auto&, QString& url) {
             QFile file(url);
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
             file.write(QByteArray(8192, 'x'));
         },
         false, false},
        {"a folder that cannot be made", "не удалось создать папку", Engine::SQLite,
         [](auto& t, QString& url) {
             QFile file(t.m_dir.filePath(QStringLiteral("plain-file")));
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
             url = file.fileName() + QStringLiteral("/archive.sqlite");
         },
         false, false},
        {"locked past the busy timeout", "занят другой программой \\(.*locked", Engine::SQLite,
         [](auto& t, QString&) { t.HoldLock(); }},
        {"a newer schema", "более новой версией", Engine::SQLite,
         [](auto& t, QString&) {
             t.HoldLock();
             ASSERT_TRUE(
                 t.m_locker->exec(QStringLiteral("UPDATE archive_schema SET version = 99")));
             ASSERT_TRUE(t.m_locker->exec(QStringLiteral("COMMIT")));
         },
         false, false},
        {"a damaged file", "файл архива повреждён \\(.*malformed", Engine::SQLite,
         [](auto& t, QString& url) {
             t.Write(0, 10, 1);
             QFile file(url);
             ASSERT_TRUE(file.open(QIODevice::ReadWrite));
             ASSERT_TRUE(file.seek(4096)); // the pages after the first, which names the tables
             file.write(QByteArray(file.size() - 4096, 'x'));
         },
         false, false},
        {"no server (a password in the URL)", "сервер архива недоступен \\(.*failed",
         Engine::PostgreSQL,
         [](auto& t, QString& url) {
             url = QStringLiteral("postgresql://journal:s3cret@/x?host=%1").arg(t.m_dir.path());
         },
         false, false},
        {"no such database", "нет такой базы данных \\(.*does not exist", Engine::PostgreSQL,
         [](auto& t, QString& url) { url = t.m_server->Url(QStringLiteral("missing")); }, false,
         false},
        {"locked past the lock timeout", "занят другой программой \\(.*lock timeout",
         Engine::PostgreSQL, [](auto& t, QString&) { t.HoldLock(); }},
        // The client may learn of the end from the server's notice or from the closed socket.
        {"the server ends the connection during the reading",
         "связь с сервером архива прервана \\(.*(terminating|closed the connection|no connection)",
         Engine::PostgreSQL,
         [](auto& t, QString&) {
             t.HoldLock();
             ASSERT_TRUE(t.m_locker->exec(QStringLiteral("ROLLBACK")));
         },
         true},
    };
    for (const auto& c : cases) {
        if (c.engine != GetParam())
            continue;
        SCOPED_TRACE(c.name);
        NewArchive();
        QString url = m_url;
        c.before(*this, url);
        QElapsedTimer clock;
        clock.start();
        TArchiveWriter writer(url, {300, 100, 1000});
        writer.Begin(Reading(Journal()));
        for (qint64 n = 0; n < 3000; ++n) {
            writer.AppendRecord(n, 0, RecordBytes(n, 1));
            if (c.midway && n == 999) {
                ASSERT_TRUE(WaitUntil([&] { return Open()->ListSeries()->size() == 1; }));
                EndConnections();
            }
        }
        const auto outcome = writer.Finish();
        EXPECT_LT(clock.elapsed(), 15000);
        EXPECT_TRUE(outcome.failed);
        const auto error = writer.TakeError();
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->startsWith(QStringLiteral("Архив журналов"))) << error->toStdString();
        EXPECT_TRUE(error->contains(QRegularExpression(QString::fromUtf8(c.says))))
            << error->toStdString();
        EXPECT_FALSE(error->contains(QStringLiteral("s3cret"))) << error->toStdString();
        EXPECT_FALSE(writer.TakeError());
        m_locker.reset();
        QSqlDatabase::removeDatabase(QStringLiteral("fault-locker"));
        if (c.opensAfter)
            ExpectConsistent(*Open());
    }
    qInstallMessageHandler(previous);
    EXPECT_TRUE(s_warnings.filter(QStringLiteral("Unable to free")).isEmpty())
        << s_warnings.join(QLatin1Char('\n')).toStdString();
}

// An archive that does not confirm the last records within the finish deadline (another program
// holds it longer than the writer would wait): Finish returns soon after the deadline with one
// message; the writer's thread, cut off (PostgreSQL) or left to end on its own (SQLite), ends.
TEST_P(ArchiveFaultTest, FinishGivesUpAtItsDeadline) {
    HoldLock();
    TArchiveWriter writer(m_url, {3000, 100, 1000, 300});
    writer.Begin(Reading(Journal()));
    for (qint64 n = 0; n < 10; ++n)
        writer.AppendRecord(n, 0, RecordBytes(n, 1));
    QElapsedTimer clock;
    clock.start();
    const auto outcome = writer.Finish();
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_TRUE(outcome.unconfirmed && outcome.failed);
    const auto error = writer.TakeError();
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->contains(QStringLiteral("не подтвердил сохранение последних записей")) &&
                error->contains(QStringLiteral("(подтверждено 0 из 10)")))
        << error->toStdString();
    m_locker.reset();
    QSqlDatabase::removeDatabase(QStringLiteral("fault-locker"));
    EXPECT_TRUE(WaitUntil([] { return TArchiveWriter::Abandoned() == 0; }));
    ExpectConsistent(*Open());
}

// Faults that need the file system against the writer: a read-only archive (as an unprivileged
// user, since root may write anyway) and a full disk (a file size limit on the writing process).
class ArchiveFileFaultTest : public ArchiveFaultTest {};

TEST_P(ArchiveFileFaultTest, ReadOnlyOrFullArchiveInAnotherProcess) {
    struct Case {
        const char* name;
        bool readOnly;
        QStringList extra;
        const char* says;
    };
    const Case cases[] = {
        {"read-only", true, {}, "нет доступа к архиву для записи (attempt to write a readonly"},
        {"disk full",
         false,
         {QStringLiteral("--file-limit"), QStringLiteral("65536")},
         "ошибка чтения или записи диска (disk I/O error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NewArchive();
        Write(0, 10, 1);
        QStringList command{QStringLiteral(ARCHIVE_WRITER_HELPER), m_url, QStringLiteral("100"),
                            QStringLiteral("20000")};
        command << c.extra;
        const QByteArray folder = m_dir.path().toLocal8Bit();
        if (c.readOnly) {
            ASSERT_EQ(chmod(m_url.toLocal8Bit().constData(), 0444), 0);
            ASSERT_EQ(chmod(folder.constData(), 0555), 0);
            if (geteuid() == 0) {
                command = QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=nobody"),
                                      QStringLiteral("--regid=nogroup"),
                                      QStringLiteral("--clear-groups")} +
                          command;
            }
        }
        QProcess process;
        process.start(command.takeFirst(), command);
        ASSERT_TRUE(process.waitForFinished(60000));
        EXPECT_EQ(process.exitCode(), 3) << process.readAllStandardOutput().toStdString();
        const QStringList lines = QString::fromUtf8(process.readAllStandardError())
                                      .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), 1) << lines.join(QLatin1Char('\n')).toStdString();
        EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Архив журналов")));
        EXPECT_TRUE(lines[0].contains(QString::fromUtf8(c.says))) << lines[0].toStdString();
        chmod(folder.constData(), 0755);
        chmod(m_url.toLocal8Bit().constData(), 0644);
        auto archive = Open();
        ExpectConsistent(*archive);
        EXPECT_EQ(archive->ListSeries()->front().records, 10);
    }
}

// A program holding the tests' PostgreSQL server ended by SIGTERM or Ctrl-C (SIGINT): the server
// stops and its folder goes.
TEST(PostgresServer, StopsWithItsProgramEndedBySignal) {
    if (!TPostgresServer::Available())
        GTEST_SKIP() << "PostgreSQL is not installed";
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        QProcess p;
        p.start(QStringLiteral(POSTGRES_SERVER_HELPER));
        ASSERT_TRUE(p.waitForReadyRead(60000)) << p.readAllStandardError().toStdString();
        const QString folder = QString::fromLocal8Bit(p.readLine()).trimmed();
        QFile pidFile(folder + QStringLiteral("/data/postmaster.pid"));
        ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
        const pid_t postmaster = pidFile.readLine().trimmed().toInt();
        ASSERT_GT(postmaster, 0);
        ASSERT_GT(p.processId(), 0);
        ::kill(static_cast<pid_t>(p.processId()), signal);
        ASSERT_TRUE(p.waitForFinished(10000));
        EXPECT_TRUE(ArchiveTest::WaitUntil(
            [&] { return !QFileInfo::exists(folder) && ::kill(postmaster, 0) != 0; }));
        if (::kill(postmaster, 0) == 0) // leave nothing behind when the case fails
            ::kill(postmaster, SIGQUIT);
        QDir(folder).removeRecursively();
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, ArchiveFaultTest, kEngines, EngineName);
INSTANTIATE_TEST_SUITE_P(Engines, ArchiveFileFaultTest, ::testing::Values(Engine::SQLite),
                         EngineName);

} // namespace
