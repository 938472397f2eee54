// SPDX-License-Identifier: MIT
#include "collect/statuspage.h"

#include "app/core/catalogue.h"
#include "app/core/journaldecoder.h"
#include "app/core/journalexport.h"
#include "app/core/readingrun.h"
#include "app/core/storedseries.h"
#include "app/core/stringgrid.h"
#include "archive/journalarchive.h"
#include "collect/metrics.h"
#include "collect/statustable.h"

#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QRegularExpression>
#include <QTcpServer>

namespace collect {
namespace {

using StatusCode = QHttpServerResponse::StatusCode;

const QByteArray kHtml = QByteArrayLiteral("text/html; charset=utf-8");
const QByteArray kPlain = QByteArrayLiteral("text/plain; charset=utf-8");

QHttpServerResponse Text(const QString& text, StatusCode status) {
    return QHttpServerResponse(kPlain, text.toUtf8() + '\n', status);
}

QString Escaped(const QString& text) {
    return text.toHtmlEscaped();
}

const char kStyle[] =
    "body{font-family:sans-serif;margin:1.5em}"
    "table{border-collapse:collapse}"
    "th,td{border:1px solid #bbb;padding:.3em .6em;text-align:left;vertical-align:top}"
    "th{background:#eee}"
    "tr.failing td{background:#fde8e8}"
    "tr.stopped td{background:#fff5d6}";

// The download links of an instrument's journals: "журнал 1: .txt .xlsx".
QString SeriesLinks(const std::vector<std::pair<int, qint64>>& series) {
    QStringList links;
    for (const auto& [journal, id] : series)
        links << QStringLiteral("журнал %1: <a href=\"/series/%2.txt\" download>.txt</a> "
                                "<a href=\"/series/%2.xlsx\" download>.xlsx</a>")
                     .arg(QString::number(journal), QString::number(id));
    return links.isEmpty() ? QStringLiteral("—") : links.join(QStringLiteral("<br>"));
}

QString RowClass(archive::TCollectState state) {
    switch (state) {
    case archive::TCollectState::Failing:
        return QStringLiteral("failing");
    case archive::TCollectState::Stopped:
        return QStringLiteral("stopped");
    case archive::TCollectState::Ok:
        break;
    }
    return QStringLiteral("ok");
}

// The table's rows; `note` says why there are none.
QString TableRows(archive::TJournalArchive& archive, QString* note) {
    const auto states = archive.InstrumentStates();
    if (!states) {
        *note = archive.error();
        return {};
    }
    if (states->empty())
        *note = QStringLiteral("В архиве ещё нет состояния приборов: сборщик их пока не читал.");
    QString rows;
    for (const archive::TInstrumentState& s : *states) {
        rows += QStringLiteral("<tr class=\"%1\">").arg(RowClass(s.state));
        for (const QString& cell : StatusRow(s))
            rows += QStringLiteral("<td>%1</td>").arg(Escaped(cell));
        const auto series = archive.InstrumentSeries(s);
        rows += QStringLiteral("<td>%1</td></tr>\n")
                    .arg(series ? SeriesLinks(*series) : Escaped(archive.error()));
    }
    return rows;
}

} // namespace

TSeriesFile SeriesFile(const QString& archiveUrl, const core::TCatalogue& catalogue, qint64 series,
                       bool workbook) {
    TSeriesFile file;
    file.fileName = QStringLiteral("series-%1.%2")
                        .arg(QString::number(series), QLatin1String(workbook ? "xlsx" : "txt"));
    archive::TJournalArchive archive;
    if (!archive.Open(archiveUrl, archive::kDefaultBusyTimeoutMs, archive::TOpenMode::ReadOnly)) {
        file.error = archive.error();
        file.notFound = archive.notFound();
        return file;
    }
    core::TStringGrid sg(2, 5);
    core::TStringGrid sgGr(2, 1);
    core::TJournalDecoder decoder(sg);
    core::TRunDecoder runDecoder(decoder, sgGr);
    const core::TShownSeries shown = core::ShowSeries(archive, catalogue.ListDev, series,
                                                      std::nullopt, std::nullopt, runDecoder, sg);
    if (!shown.ok()) {
        file.error = shown.error;
        file.notFound = !archive.Series(series).has_value();
        return file;
    }
    const auto format = workbook ? core::TExportFormat::Spreadsheet : core::TExportFormat::Text;
    const auto bytes = core::ExportBytes(format, sg, shown.device->Name,
                                         shown.device->journalAt(shown.journalIndex)->typedev,
                                         file.fileName, &file.error);
    if (bytes)
        file.bytes = *bytes;
    return file;
}

TStatusPage::TStatusPage(const core::TCatalogue& catalogue, const TCollectorMetrics& metrics,
                         const QString& archiveUrl, const QString& token)
    : m_catalogue(catalogue), m_metrics(metrics), m_archiveUrl(archiveUrl), m_access(token) {
    using Method = QHttpServerRequest::Method;
    m_server.route("/", Method::Get, [this](const QHttpServerRequest& request) {
        return Guarded(request, [this] { return QHttpServerResponse(kHtml, PageHtml()); });
    });
    m_server.route("/metrics", Method::Get, [this](const QHttpServerRequest& request) {
        return Guarded(request, [this] {
            return QHttpServerResponse(QByteArrayLiteral("text/plain; version=0.0.4; "
                                                         "charset=utf-8"),
                                       m_metrics.PrometheusText());
        });
    });
    m_server.route("/series/<arg>", Method::Get,
                   [this](const QString& file, const QHttpServerRequest& request) {
                       return Guarded(request, [&] { return Series(file); });
                   });
}

template <class Handler>
QHttpServerResponse TStatusPage::Guarded(const QHttpServerRequest& request, Handler handler) {
    const auto verdict =
        m_access.Check(request.remoteAddress().toString(), request.value("Authorization"));
    if (verdict.status == 200)
        return handler();
    if (verdict.status == 429) {
        QHttpServerResponse refused =
            Text(QStringLiteral("Слишком часто: после неверного ключа следующий проверяется "
                                "через %1 с.")
                     .arg(verdict.retryAfterS),
                 StatusCode::TooManyRequests);
        refused.setHeader("Retry-After", QByteArray::number(verdict.retryAfterS));
        return refused;
    }
    QHttpServerResponse refused =
        Text(QStringLiteral("Нужен ключ доступа: пароль HTTP или Authorization: Bearer."),
             StatusCode::Unauthorized);
    refused.setHeader("WWW-Authenticate",
                      QByteArrayLiteral("Basic realm=\"journal-collect\", charset=\"UTF-8\""));
    return refused;
}

QHttpServerResponse TStatusPage::Series(const QString& file) const {
    static const QRegularExpression kName(QStringLiteral("^([1-9][0-9]{0,17})\\.(txt|xlsx)$"));
    const auto match = kName.match(file);
    if (!match.hasMatch())
        return Text(QStringLiteral("Нет такого файла: %1").arg(file), StatusCode::NotFound);
    const bool workbook = match.captured(2) == u"xlsx";
    const TSeriesFile series =
        SeriesFile(m_archiveUrl, m_catalogue, match.captured(1).toLongLong(), workbook);
    if (!series.error.isEmpty())
        return Text(series.error,
                    series.notFound ? StatusCode::NotFound : StatusCode::InternalServerError);
    QHttpServerResponse response(
        workbook
            ? QByteArrayLiteral("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet")
            : QByteArrayLiteral("text/plain; charset=windows-1251"),
        series.bytes);
    response.setHeader("Content-Disposition",
                       "attachment; filename=\"" + series.fileName.toLatin1() + '"');
    return response;
}

QByteArray TStatusPage::PageHtml() const {
    QString note, rows;
    archive::TJournalArchive archive;
    if (archive.Open(m_archiveUrl, archive::kDefaultBusyTimeoutMs, archive::TOpenMode::ReadOnly))
        rows = TableRows(archive, &note);
    else
        note = archive.notFound() ? QStringLiteral("Архива ещё нет: сборщик его пока не создал.")
                                  : archive.error();
    QString headings;
    const QStringList columns = StatusHeadings() << QStringLiteral("Последние серии");
    for (const QString& h : columns)
        headings += QStringLiteral("<th>%1</th>").arg(Escaped(h));
    return QStringLiteral("<!DOCTYPE html>\n<html lang=\"ru\"><head><meta charset=\"utf-8\">"
                          "<title>Сборщик журналов</title><style>%1</style></head>\n<body>"
                          "<h1>Сборщик журналов</h1>\n<p>Архив: %2 · страница от %3 · "
                          "<a href=\"/metrics\">метрики</a></p>\n%4"
                          "<table id=\"status\"><thead><tr>%5</tr></thead><tbody>\n%6"
                          "</tbody></table>\n</body></html>\n")
        .arg(QLatin1String(kStyle), Escaped(archive::HidePassword(m_archiveUrl)),
             StatusTime(QDateTime::currentDateTime()),
             note.isEmpty() ? QString()
                            : QStringLiteral("<p id=\"note\">%1</p>\n").arg(Escaped(note)),
             headings, rows)
        .toUtf8();
}

bool TStatusPage::Listen(const THttpAddress& where, QString* error) {
    auto* tcp = new QTcpServer(&m_server);
    if (!tcp->listen(where.address, where.port)) {
        *error =
            QStringLiteral("--http: не удалось слушать %1 порт %2: %3")
                .arg(where.address.toString(), QString::number(where.port), tcp->errorString());
        delete tcp;
        return false;
    }
    m_port = tcp->serverPort();
    m_server.bind(tcp);
    return true;
}

} // namespace collect
