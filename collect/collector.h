// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/catalogue.h"
#include "collect/collectargs.h"
#include "collect/collectorlock.h"
#include "collect/instrumentlist.h"
#include "collect/metrics.h"

#include <QString>

#include <cstdio>
#include <memory>
#include <optional>

namespace collect {

class TScheduler;
class TStatusPage;

// Streams of one invocation.
struct TCollectIo {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
};

// The catalogue the options name (--catalogue, else the program's own), its problems on `err`;
// false with a usage error when --catalogue names no catalogue.
bool LoadCatalogue(const TCollectOptions& options, core::TCatalogue& catalogue, QString* usage);

// The archive the collector fills: --archive, else the catalogue's (JOURNAL_ARCHIVE, main.ini,
// the default path); nothing, with the reason, when main.ini turns the archive off and no
// --archive is given.
std::optional<QString> CollectorArchiveUrl(const TCollectOptions& options,
                                           const core::TCatalogue& catalogue, QString* error);

// The status page's token (--token-file, JOURNAL_COLLECT_TOKEN); a usage error when it cannot be
// read, or when --http listens beyond this machine without one.
std::optional<QString> PageToken(const TCollectOptions& options, QString* usage);

// --check: the lines and their instruments on `out`, the list's problems on `err`. 0 when every
// entry runs, 1 when the list is missing or an entry is left out.
int CheckList(const TInstrumentList& list, const TCollectIo& io);

// --status: the instruments' state from the archive (opened only to read) as a table.
int PrintStatus(const QString& archiveUrl, const TCollectIo& io);

// The running collector: its list, its archive (an SQLite one locked for it alone), the counters
// and the status page. The scheduler of lines runs in it.
class TCollectorService {
public:
    // `pageToken`: the status page's access token (empty: none; see TPageAccess).
    TCollectorService(const TCollectOptions& options, const core::TCatalogue& catalogue,
                      const QString& pageToken);
    ~TCollectorService();

    // Reads the list (its problems on `err`), opens the archive to write (making it or bringing
    // its schema up to date), takes the SQLite archive's lock and starts the status page; false
    // with a message on `err` when the collector cannot run.
    bool Start(const TCollectIo& io);

    // Starts reading the list's instruments, one thread per line (see TScheduler).
    void StartLines(const TCollectIo& io);
    // Stops the lines' readings between two requests and waits until what they read is stored.
    void StopLines();
    // Every line has ended (--once: every instrument was read or failed).
    bool LinesFinished() const;
    // Reads the list again (SIGHUP): the lines stop and start with the new list. A list that
    // cannot be read or has an entry left out is not taken: the old one stays, with a message.
    void Reload(const TCollectIo& io);
    // --once: the instruments not read on `err`; 0 when all were read, else 1.
    int OnceStatus(const TCollectIo& io) const;

    const TInstrumentList& list() const { return m_list; }
    const QString& archiveUrl() const { return m_archiveUrl; }
    TCollectorMetrics& metrics() { return m_metrics; }
    // The status page's port; 0 without --http.
    quint16 httpPort() const;

private:
    bool OpenArchive(const TCollectIo& io);
    void CountLines();
    bool StartPage(const TCollectIo& io);

    TCollectOptions m_options;
    const core::TCatalogue& m_catalogue;
    QString m_pageToken;
    TInstrumentList m_list;
    QString m_archiveUrl;
    TCollectorLock m_lock;
    TCollectorMetrics m_metrics;
    std::unique_ptr<TStatusPage> m_page;
    std::unique_ptr<TScheduler> m_scheduler;
};

} // namespace collect
