// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <optional>

namespace archive {

enum class TArchiveEngine { SQLite, PostgreSQL };

// Where an archive lives, parsed from its URL:
//   /path/archive.sqlite or sqlite:///path/archive.sqlite           an SQLite file
//   postgresql://[user[:password]@]host[:port]/database             a PostgreSQL server over TCP
//   postgresql://[user@]/database?host=/socket/folder               ... over its Unix socket
struct TArchiveLocation {
    TArchiveEngine engine = TArchiveEngine::SQLite;
    QString path; // SQLite: the database file
    QString host; // PostgreSQL: host name, or the socket folder when it starts with "/"
    int port = -1;
    QString user;
    QString password;
    QString database;

    // The location as the user may see it in a message: a password shows as "***".
    QString displayName() const;
};

// The URL's text with its password, if any, shown as "***": for a URL that may not parse.
QString HidePassword(const QString& url);

// nullopt with `error` set (a Russian text) when the URL names no archive we can open.
std::optional<TArchiveLocation> ParseArchiveUrl(const QString& url, QString* error = nullptr);

// $XDG_DATA_HOME/journal-reader/archive.sqlite; an empty or relative XDG_DATA_HOME means
// $HOME/.local/share, as the XDG base directory rules say.
QString DefaultArchivePath(const QString& xdgDataHome, const QString& home);

// Everything that decides whether and where the archive is used, by precedence:
//   journal-read --no-archive         off
//   journal-read --archive URL        on, at URL (also when main.ini turns it off)
//   main.ini [Archive] Enabled=0      off
//   JOURNAL_ARCHIVE, then main.ini [Archive] Url=, then the default path
struct TArchiveSettingSources {
    QString optionUrl;             // --archive URL; empty when not given
    bool noArchiveOption = false;  // --no-archive
    QString environmentUrl;        // JOURNAL_ARCHIVE; empty when unset
    QString iniUrl;                // [Archive] Url=; empty when missing
    std::optional<int> iniEnabled; // [Archive] Enabled=; nullopt when missing
    QString defaultPath;           // DefaultArchivePath(...)
};

struct TArchiveSetting {
    bool enabled = true;
    QString url;
};

TArchiveSetting ResolveArchiveSetting(const TArchiveSettingSources& sources);

// The same from the process environment: JOURNAL_ARCHIVE, XDG_DATA_HOME and HOME; the caller
// gives the command line and main.ini values.
TArchiveSettingSources ArchiveSettingSourcesFromEnvironment();

} // namespace archive
