// SPDX-License-Identifier: MIT
#pragma once

// The archive suites' fixture: each test gets an empty archive of the engine it runs for,
// SQLite in a temporary folder or PostgreSQL on a server the suite starts (skipped only when
// PostgreSQL is not installed).
#include "archive/archivewriter.h"
#include "archive/journalarchive.h"
#include "archivecontent.h"
#include "postgresserver.h"
#include "qstringprinter.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>

using namespace archive;

enum class Engine { SQLite, PostgreSQL };

inline void PrintTo(Engine engine, std::ostream* os) {
    *os << (engine == Engine::SQLite ? "SQLite" : "PostgreSQL");
}

// One PostgreSQL server for the whole suite, started when a test first needs it.
class PostgresEnvironment : public ::testing::Environment {
public:
    static TPostgresServer* Server(QString* whyNot) {
        if (!s_server && s_why.isEmpty())
            s_server = TPostgresServer::Start(&s_why);
        *whyNot = s_why;
        return s_server.get();
    }
    void TearDown() override { s_server.reset(); }

private:
    static inline std::unique_ptr<TPostgresServer> s_server;
    static inline QString s_why;
};

inline TJournalKey Journal(int number = 1,
                           const QString& device = QStringLiteral("Регулятор РТ-10")) {
    return {device, QStringLiteral("rt10.ini"), number, QStringLiteral("События"), 0};
}

inline TReadingInfo Reading(const TJournalKey& journal, TReadingKind kind = TReadingKind::Full) {
    return {QDateTime::currentDateTime(), QStringLiteral("COM5"), 7, 19200, journal, kind, {}, {}};
}

class ArchiveTest : public ::testing::TestWithParam<Engine> {
public:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        if (GetParam() == Engine::PostgreSQL) {
            QString why;
            m_server = PostgresEnvironment::Server(&why);
            if (!m_server && !TPostgresServer::Available())
                GTEST_SKIP() << why.toStdString();
            ASSERT_TRUE(m_server) << why.toStdString();
        }
        NewArchive();
    }

    // Points m_url at a new, empty archive.
    void NewArchive() {
        static int s_archives = 0;
        const QString name = QStringLiteral("t%1").arg(++s_archives);
        if (GetParam() == Engine::SQLite) {
            m_url = m_dir.filePath(name + QStringLiteral(".sqlite"));
            return;
        }
        QString why;
        m_url = m_server->CreateDatabase(name, &why);
        ASSERT_FALSE(m_url.isEmpty()) << why.toStdString();
    }

    // Polls `done` every 20 ms for at most 20 s.
    static bool WaitUntil(const std::function<bool()>& done) {
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            if (clock.elapsed() > 20000)
                return false;
            QThread::msleep(20);
        }
        return true;
    }

    // A connection of the test's own to the archive's database under `name` (not yet open), as
    // another program would make it.
    QSqlDatabase RawConnection(const QString& name) const {
        const bool sqlite = GetParam() == Engine::SQLite;
        QSqlDatabase db = QSqlDatabase::addDatabase(
            sqlite ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL"), name);
        if (sqlite) {
            db.setDatabaseName(m_url);
        } else {
            db.setHostName(m_server->socketFolder());
            db.setUserName(QStringLiteral("journal"));
            db.setDatabaseName(m_url.section(QLatin1Char('/'), 3).section(QLatin1Char('?'), 0, 0));
        }
        return db;
    }

    // Opens the archive in the test's thread.
    std::unique_ptr<TJournalArchive> Open() {
        auto archive = std::make_unique<TJournalArchive>();
        EXPECT_TRUE(archive->Open(m_url)) << archive->error().toStdString();
        return archive;
    }

    // A reading through the writer, as a run stores it. `into`: an incremental reading.
    TWriterOutcome Write(qint64 first, qint64 count, int seed,
                         const std::vector<qint64>& failed = {},
                         std::optional<qint64> into = std::nullopt, int journal = 1,
                         const std::vector<qint64>& changed = {}) {
        TArchiveWriter writer(m_url, {kWriterBusyTimeoutMs, 7, 1000});
        writer.Begin(
            Reading(Journal(journal), into ? TReadingKind::Incremental : TReadingKind::Full), into);
        for (qint64 n = first; n < first + count; ++n) {
            const bool fails = std::find(failed.begin(), failed.end(), n) != failed.end();
            const bool other = std::find(changed.begin(), changed.end(), n) != changed.end();
            if (fails)
                writer.AppendFailed(n, 1);
            else
                writer.AppendRecord(n, 0, RecordBytes(n, other ? seed + 100 : seed));
        }
        const auto outcome = writer.Finish();
        EXPECT_FALSE(outcome.failed) << writer.TakeError().value_or(QString()).toStdString();
        return outcome;
    }

    // The helper program writing a reading in a process of its own.
    QProcess* StartHelper(const QStringList& arguments) {
        auto* process = new QProcess;
        m_processes.emplace_back(process);
        process->start(QStringLiteral(ARCHIVE_WRITER_HELPER), QStringList{m_url} + arguments);
        EXPECT_TRUE(process->waitForStarted());
        return process;
    }

    void ExpectConsistent(TJournalArchive& archive) {
        const auto problems = archive.CheckConsistency();
        ASSERT_TRUE(problems) << archive.error().toStdString();
        EXPECT_TRUE(problems->isEmpty()) << problems->join(QLatin1Char('\n')).toStdString();
    }

    QTemporaryDir m_dir{QStringLiteral("/tmp/jarch-XXXXXX")};
    QString m_url;
    TPostgresServer* m_server = nullptr;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

// Kills a child that may already have ended: an ended QProcess has process id 0, and kill(0)
// would hit the test's own process group.
inline void KillIfRunning(QProcess& process) {
    if (const auto pid = static_cast<pid_t>(process.processId()); pid > 0)
        ::kill(pid, SIGKILL);
}

inline const auto kEngines = ::testing::Values(Engine::SQLite, Engine::PostgreSQL);
inline std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
    return info.param == Engine::SQLite ? "SQLite" : "PostgreSQL";
}
