// SPDX-License-Identifier: MIT
#include "postgresserver.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>

#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace {

// initdb and pg_ctl on the search path, else in Debian's versioned folder (newest first).
QString FindBinDir() {
    const QString initdb = QStandardPaths::findExecutable(QStringLiteral("initdb"));
    if (!initdb.isEmpty() && !QStandardPaths::findExecutable(QStringLiteral("pg_ctl")).isEmpty())
        return QFileInfo(initdb).absolutePath();
    QDir versions(QStringLiteral("/usr/lib/postgresql"));
    const auto names = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        const QString bin = versions.filePath(*it + QStringLiteral("/bin"));
        if (QFileInfo::exists(bin + QStringLiteral("/initdb")) &&
            QFileInfo::exists(bin + QStringLiteral("/pg_ctl")))
            return bin;
    }
    return {};
}

} // namespace

bool TPostgresServer::Available() {
    return !FindBinDir().isEmpty();
}

QStringList TPostgresServer::Command(const QString& program, const QStringList& arguments) const {
    QStringList command{m_binDir + QLatin1Char('/') + program};
    command << arguments;
    if (geteuid() == 0) {
        command = QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=nobody"),
                              QStringLiteral("--regid=nogroup"), QStringLiteral("--clear-groups")} +
                  command;
    }
    return command;
}

bool TPostgresServer::Run(const QString& program, const QStringList& arguments,
                          QString* error) const {
    QProcess process;
    process.setWorkingDirectory(m_folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    QStringList command = Command(program, arguments);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_folder);
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    process.setProcessEnvironment(env);
    process.start(command.takeFirst(), command);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        if (error) {
            *error = QStringLiteral("%1 failed: %2")
                         .arg(program, QString::fromLocal8Bit(process.readAll()));
        }
        return false;
    }
    return true;
}

std::unique_ptr<TPostgresServer> TPostgresServer::Start(QString* whyNot, bool durable) {
    std::unique_ptr<TPostgresServer> server(new TPostgresServer);
    server->m_binDir = FindBinDir();
    if (server->m_binDir.isEmpty()) {
        *whyNot = QStringLiteral("PostgreSQL is not installed (no initdb and pg_ctl); "
                                 "scripts/setup installs the package postgresql");
        return nullptr;
    }
    // Short: the socket path must fit a sockaddr_un.
    server->m_dir = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/jpg-XXXXXX"));
    server->m_folder = server->m_dir->path();
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (!nobody || chown(server->m_folder.toLocal8Bit().constData(), nobody->pw_uid,
                             nobody->pw_gid) != 0) {
            *whyNot = QStringLiteral("cannot give the server folder to the user nobody");
            return nullptr;
        }
    }
    const QString data = server->m_folder + QStringLiteral("/data");
    QString options = QStringLiteral("-c listen_addresses='' -c unix_socket_directories=%1"
                                     " -c max_connections=40")
                          .arg(server->m_folder);
    if (!durable)
        options += QStringLiteral(" -c fsync=off -c synchronous_commit=off");
    if (!server->Run(QStringLiteral("initdb"),
                     {QStringLiteral("-D"), data, QStringLiteral("-U"), QStringLiteral("journal"),
                      QStringLiteral("--auth=trust"), QStringLiteral("--encoding=UTF8"),
                      QStringLiteral("--locale=C.UTF-8"), QStringLiteral("--no-sync")},
                     whyNot) ||
        !server->Run(QStringLiteral("pg_ctl"),
                     {QStringLiteral("-D"), data, QStringLiteral("-l"),
                      server->m_folder + QStringLiteral("/server.log"), QStringLiteral("-o"),
                      options, QStringLiteral("-w"), QStringLiteral("start")},
                     whyNot))
        return nullptr;
    server->m_running = true;
    server->StartGuardian();
    return server;
}

// The guardian is a shell in a session of its own (Ctrl-C on the terminal does not reach it)
// that reads the end of a pipe whose other end only this process holds. "done" on it: this
// process stopped the server itself. The pipe's end without it: this process is gone, and the
// guardian stops the server at once and removes the folder.
void TPostgresServer::StartGuardian() {
    const auto quoted = [](const QStringList& words) {
        QStringList out;
        for (QString w : words)
            out << QLatin1Char('\'') + w.replace(QLatin1Char('\''), QLatin1String("'\\''")) +
                       QLatin1Char('\'');
        return out.join(QLatin1Char(' '));
    };
    const QString stop = quoted(
        Command(QStringLiteral("pg_ctl"),
                {QStringLiteral("-D"), m_folder + QStringLiteral("/data"), QStringLiteral("-m"),
                 QStringLiteral("immediate"), QStringLiteral("-w"), QStringLiteral("stop")}));
    const QByteArray script =
        QStringLiteral("IFS= read -r word; [ \"$word\" = done ] && exit 0; %1 >/dev/null 2>&1;"
                       " rm -rf -- %2")
            .arg(stop, quoted({m_folder}))
            .toLocal8Bit();
    std::vector<char*> argv{const_cast<char*>("sh"), const_cast<char*>("-c"),
                            const_cast<char*>(script.constData()), nullptr};
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec: this process may have threads.
        ::setsid();
        ::dup2(fds[0], STDIN_FILENO);
        ::close_range(3, ~0U, 0);
        ::execv("/bin/sh", argv.data());
        ::_exit(127);
    }
    ::close(fds[0]);
    if (pid < 0) {
        ::close(fds[1]);
        return;
    }
    m_guardianPipe = fds[1];
    m_guardian = pid;
}

TPostgresServer::~TPostgresServer() {
    if (m_running) {
        Run(QStringLiteral("pg_ctl"),
            {QStringLiteral("-D"), m_folder + QStringLiteral("/data"), QStringLiteral("-m"),
             QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("stop")},
            nullptr);
    }
    if (m_guardian > 0) {
        [[maybe_unused]] const auto written = ::write(m_guardianPipe, "done\n", 5);
        ::close(m_guardianPipe);
        ::waitpid(m_guardian, nullptr, 0);
    }
}

void TPostgresServer::Kill() {
    if (m_running) {
        Run(QStringLiteral("pg_ctl"),
            {QStringLiteral("-D"), m_folder + QStringLiteral("/data"), QStringLiteral("-m"),
             QStringLiteral("immediate"), QStringLiteral("-w"), QStringLiteral("stop")},
            nullptr);
        m_running = false;
    }
}

QString TPostgresServer::Url(const QString& database) const {
    return QStringLiteral("postgresql://journal@/%1?host=%2").arg(database, m_folder);
}

QString TPostgresServer::CreateDatabase(const QString& name, QString* error) {
    QString url;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("postgres-admin"));
        db.setHostName(m_folder);
        db.setUserName(QStringLiteral("journal"));
        db.setDatabaseName(QStringLiteral("postgres"));
        if (!db.open()) {
            *error = db.lastError().text();
        } else {
            // The name is the test's own identifier, not user input.
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("CREATE DATABASE \"%1\"").arg(name)))
                url = Url(name);
            else
                *error = query.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("postgres-admin"));
    return url;
}
