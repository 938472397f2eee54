// SPDX-License-Identifier: MIT
#pragma once

#include "app/cli/cliargs.h"
#include "app/core/linediagnosis.h"
#include "app/core/readingrun.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>

namespace core {
class TCatalogue;
}

// The headless reader: the window's reading run, decoder and export without widgets.
namespace cli {

// The run's host on a terminal or in a log: messages and the record count on standard error,
// progress as a bar (terminal) or a line per tenth of the run (otherwise); the stop request is
// polled where the window would handle its pending events.
class TCliRunHost : public core::IRunHost {
public:
    TCliRunHost(std::FILE* err, bool terminal, std::function<bool()> stopRequested);

    // The run this host serves: its state drives the progress, and it is stopped when
    // stopRequested() turns true.
    void setRun(core::TReadingRun* run) { m_run = run; }
    // The run's port is a network endpoint: a connection that cannot be made is told by its
    // reason alone (it is no COM port that failed to open).
    void setNetworkPort(bool network) { m_networkPort = network; }

    void ShowMessage(const QString& text, const QString& detail = {}) override;
    void SetExportVisible(bool) override {}
    void SetStatusText(const QString& text) override { m_status = text; }
    const QString& statusText() const { return m_status; }
    void SetCountText(const QString& text) override;
    void SetProgressMaximum(int maximum) override;
    void SetProgressPosition(int) override {}
    void SetRunState(core::TRunState state) override;
    void BetweenCalls() override;

    // Ends a progress bar line, so that what follows starts on a line of its own.
    void finishProgress();

private:
    void drawProgress(bool force);
    void print(const QString& line);
    int recordsDone() const { return m_run ? m_run->Result().recordsDone() : 0; }

    std::FILE* m_err;
    bool m_terminal;
    std::function<bool()> m_stopRequested;
    core::TReadingRun* m_run = nullptr;
    bool m_networkPort = false;
    bool m_counting = false; // between SetProgressMaximum and the end of the record loop
    bool m_barOpen = false;
    int m_maximum = 0;
    int m_lastTenth = 0;
    int m_lastPrinted = 0;
    std::chrono::steady_clock::time_point m_lastDraw{};
    QString m_status;
};

// Streams and the stop flag of one invocation.
struct TCliIo {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool terminal = false;                                      // standard error is a terminal
    std::function<bool()> stopRequested = [] { return false; }; // Ctrl-C was pressed
};

// --list: devices "N<TAB>name" and their journals "N.J<TAB>journal selector text". A failed
// write to `out` is reported on `err` (status 1).
[[nodiscard]] int ListCatalogue(const core::TCatalogue& catalogue, std::FILE* out, std::FILE* err);

// Writes `text` (UTF-8) or `bytes` and flushes; 0, or the error number of the failed write.
[[nodiscard]] int WriteText(std::FILE* f, const QString& text);
[[nodiscard]] int WriteBytes(std::FILE* f, const QByteArray& bytes);

// The status of a command whose standard output ended with `error` (0 or an error number of
// WriteText): 0, or 1 and a message on `err`.
[[nodiscard]] int StandardOutputStatus(int error, std::FILE* err);

// The output file is checked before anything is sent to the instrument: its folder exists and
// may be written, the name is no folder. Empty when it may be written, else why not (naming the
// file).
[[nodiscard]] QString CheckOutputFile(const QString& fileName,
                                      const QString& option = QStringLiteral("--output"));

// The device of --device: its exact name, else its 1-based position; nullptr when neither.
const TDevInfo* FindDevice(const core::TCatalogue& catalogue, const QString& nameOrIndex);

// Why a --catalogue folder cannot serve (not a folder, no main.ini); empty when it can.
[[nodiscard]] QString CheckCatalogueFolder(const QString& folder);

// Why --device or --journal names nothing in the catalogue; empty when both are there (and for
// --list).
[[nodiscard]] QString CheckDeviceAndJournal(const TCliOptions& options,
                                            const core::TCatalogue& catalogue);

// Makes a COMn mapping of the catalogue's main.ini [Ports] visible to the access library, which
// looks ports up in the program's own main.ini and JOURNAL_PORTS.
void ExportPortMapping(int number, const QString& mainIniPath);

// The line trace of a run while it lives: the diagnosis always (it only counts), and with a file
// name every frame as a line of text in that file. Every write of the file is checked, and its
// last ones when it is closed.
class TRunTrace {
public:
    TRunTrace(core::IModbusLink& library, const QString& fileName);
    ~TRunTrace();
    TRunTrace(const TRunTrace&) = delete;
    TRunTrace& operator=(const TRunTrace&) = delete;

    // Why the file could not be written (naming it and the reason); empty while all went well.
    QString fileError() const;
    // Closes the file, then prints the diagnosis on `err` when the run failed to read the count
    // or records (or, with a trace file, whenever the line showed faults), then a failed trace
    // file. False when the trace file could not be written.
    bool report(const core::TRunResult& result, std::FILE* err);

private:
    void write(const QString& line);
    void close();

    core::IModbusLink& m_library;
    core::TLineDiagnosis m_diagnosis;
    core::TTraceFanOut m_fanOut;
    QString m_fileName;
    std::FILE* m_file = nullptr;
    std::unique_ptr<core::TTraceTextWriter> m_writer;
    int m_writeError = 0; // the error number of the first failed write
};

// --search: looks for the instrument on the port; prints what it found on `out`, progress on
// `err`; returns the exit status.
[[nodiscard]] int SearchInstrument(const TCliOptions& options, const core::TCatalogue& catalogue,
                                   core::IModbusLink& library, const TCliIo& io);

// One reading run with the options and its export, stored in the journal archive unless it is
// turned off; returns the exit status. An archive that fails costs one line on standard error,
// never the reading.
[[nodiscard]] int ReadJournal(const TCliOptions& options, const core::TCatalogue& catalogue,
                              core::IModbusLink& library, const TCliIo& io);

// --archive-list: one line per series of the archive: id, device, journal number, first and last
// record number, records, time of the last reading (ISO 8601) and how it ended ("завершено",
// "остановлено", "не завершено"), tab-separated.
[[nodiscard]] int ListArchive(const TCliOptions& options, const core::TCatalogue& catalogue,
                              const TCliIo& io);

// --from-archive: the file a reading of the series' range (or of --start/--count) would have
// written, decoded with the catalogue's current description.
[[nodiscard]] int ExportFromArchive(const TCliOptions& options, const core::TCatalogue& catalogue,
                                    const TCliIo& io);

} // namespace cli
