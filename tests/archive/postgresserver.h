// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

// A PostgreSQL server of its own in a temporary folder, for the tests and the benchmarks: initdb
// and pg_ctl, reachable only through a Unix socket in that folder (no TCP), trust
// authentication for the user "journal". PostgreSQL refuses to run as root: when the process is
// root, the server runs as `nobody`, which owns the folder. Stopped when the object goes, and
// also when the process ends without that (SIGTERM, SIGINT, a crash): a guardian process stops
// the server and removes the folder then.
class TPostgresServer {
public:
    // nullptr with `whyNot` set when the PostgreSQL programs are not installed or the server
    // does not start.
    static std::unique_ptr<TPostgresServer> Start(QString* whyNot, bool durable = false);
    ~TPostgresServer();

    // True when initdb and pg_ctl are installed.
    static bool Available();

    const QString& socketFolder() const { return m_folder; }
    // postgresql://journal@/DATABASE?host=FOLDER
    QString Url(const QString& database) const;
    // A new empty database; returns its URL, or an empty text with `error` set.
    QString CreateDatabase(const QString& name, QString* error);
    // Stops the server at once (a crash of the server); Start is not repeated.
    void Kill();

private:
    TPostgresServer() = default;
    bool Run(const QString& program, const QStringList& arguments, QString* error) const;
    // The program and arguments of `program` of the server's, as `nobody` when this is root.
    QStringList Command(const QString& program, const QStringList& arguments) const;
    void StartGuardian();

    QString m_binDir;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_folder;
    bool m_running = false;
    int m_guardianPipe = -1; // its end tells the guardian that this process has ended
    int m_guardian = -1;
};
