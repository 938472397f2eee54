// SPDX-License-Identifier: MIT
#pragma once

#include "collect/collectargs.h"
#include "collect/pageaccess.h"

#include <QByteArray>
#include <QHttpServer>
#include <QString>

#include <optional>

namespace core {
class TCatalogue;
}
class QHttpServerRequest;
class QHttpServerResponse;

namespace collect {

class TCollectorMetrics;

// A stored series as a file of the export: the bytes journal-read --from-archive would write.
struct TSeriesFile {
    QByteArray bytes;
    QString fileName; // "series-17.txt"
    QString error;    // why there is none (no such series, an unreadable archive)
    bool notFound = false;
};
TSeriesFile SeriesFile(const QString& archiveUrl, const core::TCatalogue& catalogue, qint64 series,
                       bool workbook);

// The collector's status page, served with Qt HTTP Server on the collector's main thread; it only
// reads (the archive opened read-only for each request, the metrics under their lock):
//   /                    the instruments' state as --status shows it, each with its journals'
//                        latest series to download
//   /series/N.txt|xlsx   a series as the export writes it
//   /metrics             the counters in the Prometheus text format
class TStatusPage {
public:
    TStatusPage(const core::TCatalogue& catalogue, const TCollectorMetrics& metrics,
                const QString& archiveUrl, const QString& token);

    // Listens; false with the reason.
    bool Listen(const THttpAddress& where, QString* error);
    quint16 port() const { return m_port; }

    // The page's HTML.
    QByteArray PageHtml() const;

private:
    // The response of a request the page lets in, else of the refusal.
    template <class Handler>
    QHttpServerResponse Guarded(const QHttpServerRequest& request, Handler handler);
    QHttpServerResponse Series(const QString& file) const;

    const core::TCatalogue& m_catalogue;
    const TCollectorMetrics& m_metrics;
    QString m_archiveUrl;
    TPageAccess m_access;
    QHttpServer m_server;
    quint16 m_port = 0;
};

} // namespace collect
