// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <vector>

namespace core {
class TCatalogue;
}
namespace platform {
class IniFile;
}

// The collector's instrument list, collect.ini: an INI file in the catalogue's style (windows-1251
// unless it begins with a byte-order mark, keys in any letter case). One section per instrument,
// named as the instrument is to be called:
//
//   [Котельная 1]
//   Port=COM5                  ; anything journal-read --port takes: COMn, a device path,
//                              ; tcp://HOST[:PORT], rtu+tcp://HOST:PORT
//   Address=5                  ; 1..247
//   Device=Регулятор РТ-10     ; the catalogue's name, or its position from 1
//   Journals=1,2               ; the device's journals from 1; all of them when left out
//   Every=15m                  ; how often: a number and s, m, h or d
//   Speed=19200                ; serial lines: a speed of the window's list (main.ini's default)
//   Link=485                   ; serial lines: 232 or 485 (main.ini's default)
//   AnswerTime=500             ; ms (main.ini's default), and Retries (main.ini's default)
//   ConnectPause=2000          ; ms to wait after connecting before the first request
//   RequestPause=20            ; ms to wait between two requests
//   KeepConnection=0           ; 1 keeps the connection after the reading; 0 (the default)
//                              ; closes it, for gateways that take few connections
//
// A section named like a port (COM5, /dev/ttyUSB0, tcp://10.0.0.5:502) describes the line on that
// port instead: Speed, Link, AnswerTime, Retries and the three pauses and the connection rule
// there are the defaults of its instruments, which may set their own.
//
// An entry that cannot run (a missing or wrong key) gets a message naming the file, the line and
// the key, and is left out; the other entries run. A key that does not apply (Speed on a network
// endpoint, an unknown key) gets a message and the entry runs.
namespace collect {

// How one instrument is read.
struct TInstrument {
    QString name;  // the section's name
    QString port;  // as written in the list
    int line = -1; // index into TInstrumentList::lines
    int address = 1;
    const TDevInfo* device = nullptr; // in the catalogue the list was read with
    QList<int> journals;              // the device's journals, from 1
    std::chrono::seconds every{0};
    int speed = 0;        // baud; 0 on a network endpoint
    int linkType = 0;     // 0 RS-232, 1 RS-485 (serial lines)
    int answerTime = 500; // ms
    int retries = 5;
    int connectPauseMs = 0;
    int requestPauseMs = 0;
    bool keepConnection = false;
};

// One line: a serial port, an rtu+tcp endpoint or a Modbus TCP host:port. Its instruments share
// it and are read one after another.
struct TLine {
    QString key; // the device path (links resolved) or the endpoint in its normal form
    bool network = false;
    QList<int> instruments; // indices into TInstrumentList::instruments, in list order
};

struct TListProblem {
    int line = 0;         // in the file, from 1
    QString text;         // the whole message: file, line, section, key and what is wrong
    bool skipped = false; // the entry it concerns does not run
};

struct TInstrumentList {
    QString path;
    std::vector<TInstrument> instruments;
    std::vector<TLine> lines;
    std::vector<TListProblem> problems;
    // Why no list could be read at all (a missing file); empty otherwise.
    QString error;
};

// collect.ini beside main.ini.
QString DefaultListPath(const QString& mainIniPath);

// Parses an instrument list `ini` (read from `path`) against the catalogue. COMn names are
// resolved as journal-read resolves them (JOURNAL_PORTS, main.ini's [Ports], the system's ports),
// and device paths by their links, so that two names of one port make one line.
TInstrumentList ParseInstrumentList(const platform::IniFile& ini, const QString& path,
                                    const core::TCatalogue& catalogue);

// Reads and parses the file; a missing or unreadable file gives `error`.
TInstrumentList ReadInstrumentList(const QString& path, const core::TCatalogue& catalogue);

// "15m" -> 900 s; "30s", "2h", "1d"; nothing for another text or a period outside 1 s .. 366 d.
std::optional<std::chrono::seconds> ParsePeriod(const QString& text);
// The period as the list writes it ("15m", "1d", "90s").
QString PeriodText(std::chrono::seconds period);

} // namespace collect
