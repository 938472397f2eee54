// SPDX-License-Identifier: MIT
#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <optional>

// The command line of journal-collect.
namespace collect {

enum TExitStatus : int {
    kExitOk = 0,
    kExitFailed = 1, // the collector could not start (archive, status page), --check found
                     // wrong entries, or --once did not read every instrument
    kExitUsage = 2,  // wrong command line
};

// Where the status page listens: an address and a port (0: a free port the system chooses).
struct THttpAddress {
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 0;
    // Only this machine can reach it: no token is demanded.
    bool loopback() const { return address.isLoopback(); }
};

struct TCollectOptions {
    QString config;    // the instrument list; empty: collect.ini beside main.ini
    QString catalogue; // folder with main.ini and the device files; empty: the default location
    QString archiveUrl;
    bool check = false;     // show the lines and instruments of the list and its problems
    bool status = false;    // print the instruments' state from the archive
    bool once = false;      // read every instrument once and end
    int jobs = 0;           // lines read at once; 0: all of them
    int leaseSeconds = 120; // a lease on an instrument of a shared archive lasts this long
    std::optional<THttpAddress> http;
    QString tokenFile; // the status page's access token is the file's first line
    bool help = false;
    bool version = false;
};

struct TCollectParse {
    std::optional<TCollectOptions> options;
    QString error; // why the command line is wrong, in Russian
};

TCollectParse ParseCollectCommandLine(const QStringList& arguments);

// "[ADDRESS:]PORT": an IPv4 address, an IPv6 address in brackets or "localhost"; 127.0.0.1 when
// only the port is given. Nothing for another text.
std::optional<THttpAddress> ParseHttpAddress(const QString& text);

QString CollectUsageText();
// The one line of a wrong command line: the reason and a pointer to --help.
QString CollectUsageError(const QString& reason);

} // namespace collect
