// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

// A PostgreSQL server of its own in a temporary folder, for the tests and the benchmark: initdb
// and pg_ctl, reachable only through a Unix socket in that folder (no TCP), trust
// authentication for the user "journal". PostgreSQL refuses to run as root: when the process is
// root, the server runs as `nobody`, which owns the folder. Stopped when the object goes.
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

    QString m_binDir;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_folder;
    bool m_running = false;
};
