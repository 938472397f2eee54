// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journalexport.h"

#include <QString>
#include <QStringList>

#include <optional>

// The command line of journal-read, the headless journal reader.
namespace cli {

// Exit status of journal-read.
enum TExitStatus : int {
    kExitOk = 0,      // the run finished (error rows included); --list
    kExitRefused = 1, // the run could not start, ended on a failed count read, or the file
                      // could not be written
    kExitUsage = 2,   // wrong command line, or an output file that cannot be written
    // Stopped by a signal (128 + its number: 130 Ctrl-C, 143 SIGTERM, 129 SIGHUP); the records
    // read so far were written.
    kExitSignal = 128,
    kExitInterrupt = kExitSignal + 2
};

struct TCliOptions {
    QString catalogue; // folder with main.ini and the device files; empty: the default location
    bool list = false;
    bool help = false;
    bool version = false;
    QString device;  // name, or 1-based position in the catalogue
    int journal = 0; // 1-based
    QString port;    // COMn or a device path
    std::optional<int> speed;
    std::optional<int> linkType; // 0 = RS-232, 1 = RS-485
    std::optional<int> address;
    std::optional<int> retries;
    std::optional<int> timeout; // answer time, ms
    // Requests in flight on a Modbus TCP endpoint: 1..16 or core::kTcpWindowAuto.
    std::optional<int> tcpWindow;
    std::optional<int> start;
    std::optional<int> count;
    QString output; // "-": standard output
    // The file's format: --format, else the name's extension. A name without extension given
    // with --format gets the format's extension.
    core::TExportFormat format = core::TExportFormat::Text;
    bool toStandardOutput() const { return output == QLatin1String("-"); }
    QString formatName; // as given to --format; empty: none
    // The journal archive: another location, none, a reading of only what it lacks, its list of
    // series, or a file from a stored series instead of a reading.
    QString archiveUrl;
    bool noArchive = false;
    bool incremental = false;
    bool archiveList = false;
    std::optional<int> fromArchive; // series id
    QString trace;                  // the line trace goes to this text file
    bool search = false;            // look for the instrument instead of reading
    bool all = false;               // ... and list every answering address
    int firstAddress = 1;           // the addresses searched
    int lastAddress = 247;
};

struct TParseResult {
    std::optional<TCliOptions> options;
    QString error; // why the command line is wrong (options is empty then), in Russian
};

// Parses the arguments after the program name with the table of options. Options take their
// value as the next argument or after '='; the first wrong argument ends the parse. Unsettled
// defaults (speed, link, address, retries, timeout) stay empty: they come from main.ini as in the
// window.
TParseResult ParseCommandLine(const QStringList& arguments);

// The text of --help, its option lines made from the table of options.
QString UsageText();

// The one line of a wrong command line: the reason and a pointer to --help.
QString UsageError(const QString& reason);

} // namespace cli
