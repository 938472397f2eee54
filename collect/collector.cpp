// SPDX-License-Identifier: MIT
#include "collect/collector.h"

#include "app/cli/journalread.h"
#include "app/core/archiverecorder.h"
#include "archive/journalarchive.h"
#include "collect/instrumentreader.h"
#include "collect/linereader.h"
#include "collect/pageaccess.h"
#include "collect/scheduler.h"
#include "collect/statuspage.h"
#include "collect/statustable.h"
#include "platform/cataloguelocation.h"
#include "platform/portlist.h"

#include <QCoreApplication>
#include <QDir>
#include <QHostInfo>

#include <algorithm>
#include <map>
#include <mutex>

namespace collect {
namespace {

void PrintLine(std::FILE* f, const QString& line) {
    // The lines' threads log at once: one line is written whole.
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    (void)cli::WriteText(f, line + u'\n');
}

// How an instrument is read, as --check shows it.
QString InstrumentText(const TInstrument& i) {
    QStringList journals;
    for (const int j : i.journals)
        journals << QString::number(j);
    QStringList parts{QStringLiteral("адрес %1").arg(i.address),
                      QStringLiteral("«%1»").arg(i.device->Name),
                      QStringLiteral("журналы %1").arg(journals.join(QStringLiteral(", "))),
                      QStringLiteral("каждые %1").arg(PeriodText(i.every))};
    if (i.speed > 0)
        parts << QStringLiteral("%1 бод, RS-%2")
                     .arg(QString::number(i.speed),
                          i.linkType == 0 ? QStringLiteral("232") : QStringLiteral("485"));
    parts << QStringLiteral("ожидание ответа %1 мс, повторов %2")
                 .arg(QString::number(i.answerTime), QString::number(i.retries));
    if (i.connectPauseMs > 0)
        parts << QStringLiteral("пауза после подключения %1 мс").arg(i.connectPauseMs);
    if (i.requestPauseMs > 0)
        parts << QStringLiteral("пауза между запросами %1 мс").arg(i.requestPauseMs);
    parts << (i.keepConnection ? QStringLiteral("соединение остаётся открытым")
                               : QStringLiteral("соединение закрывается после чтения"));
    return QStringLiteral("  %1: %2").arg(i.name, parts.join(QStringLiteral(", ")));
}

// The list's problems on `err`; true when an entry is left out.
bool ReportProblems(const TInstrumentList& list, std::FILE* err) {
    bool skipped = false;
    for (const TListProblem& p : list.problems) {
        PrintLine(err, p.text);
        skipped |= p.skipped;
    }
    return skipped;
}

} // namespace

bool LoadCatalogue(const TCollectOptions& options, core::TCatalogue& catalogue, QString* usage) {
    if (options.catalogue.isEmpty()) {
        platform::CatalogueLocation location =
            platform::catalogueLocation(platform::programDirectory());
        platform::seedUserMainIni(location);
        catalogue.Load(location.mainIniPath, location.deviceDirectory);
    } else {
        if (const QString error = cli::CheckCatalogueFolder(options.catalogue); !error.isEmpty()) {
            *usage = error;
            return false;
        }
        catalogue.Load(QDir(options.catalogue).absolutePath());
    }
    for (const QString& problem : catalogue.Errors)
        PrintLine(stderr, problem);
    return true;
}

std::optional<QString> CollectorArchiveUrl(const TCollectOptions& options,
                                           const core::TCatalogue& catalogue, QString* error) {
    const archive::TArchiveSetting setting =
        core::ArchiveSettingFor(catalogue.Settings, options.archiveUrl, false);
    if (setting.enabled)
        return setting.url;
    *error = QStringLiteral("Архив журналов отключён ([Archive] Enabled=0 в %1): сборщику нужен "
                            "архив, укажите --archive URL")
                 .arg(catalogue.MainIniPath);
    return std::nullopt;
}

int CheckList(const TInstrumentList& list, const TCollectIo& io) {
    if (!list.error.isEmpty()) {
        PrintLine(io.err, list.error);
        return kExitFailed;
    }
    for (std::size_t l = 0; l < list.lines.size(); ++l) {
        const TLine& line = list.lines[l];
        PrintLine(io.out, QStringLiteral("Линия %1: %2").arg(QString::number(l + 1), line.key));
        for (const int i : line.instruments)
            PrintLine(io.out, InstrumentText(list.instruments[std::size_t(i)]));
    }
    const bool skipped = ReportProblems(list, io.err);
    PrintLine(io.err,
              QStringLiteral("Приборов: %1, линий: %2, сообщений о списке: %3")
                  .arg(QString::number(list.instruments.size()), QString::number(list.lines.size()),
                       QString::number(list.problems.size())));
    return skipped ? kExitFailed : kExitOk;
}

int PrintStatus(const QString& archiveUrl, const TCollectIo& io) {
    archive::TJournalArchive archive;
    if (!archive.Open(archiveUrl, archive::kDefaultBusyTimeoutMs, archive::TOpenMode::ReadOnly)) {
        PrintLine(io.err, archive.error());
        return kExitFailed;
    }
    const auto states = archive.InstrumentStates();
    if (!states) {
        PrintLine(io.err, archive.error());
        return kExitFailed;
    }
    if (states->empty())
        PrintLine(io.err, QStringLiteral("В архиве ещё нет состояния приборов: сборщик их пока "
                                         "не читал."));
    return cli::StandardOutputStatus(cli::WriteText(io.out, StatusTableText(*states)), io.err);
}

QString CollectorName() {
    return QStringLiteral("%1:%2").arg(QHostInfo::localHostName(),
                                       QString::number(QCoreApplication::applicationPid()));
}

archive::TInstrumentState StateAfterReading(const TInstrument& instrument, const TLine& line,
                                            const std::optional<archive::TInstrumentState>& before,
                                            const TReadingOutcome& outcome, const QDateTime& began,
                                            const QDateTime& next, const QString& collector) {
    archive::TInstrumentState s;
    s.instrument = instrument.name;
    s.line = line.key;
    s.port = instrument.port;
    s.address = instrument.address;
    s.deviceName = instrument.device ? instrument.device->Name : QString();
    s.journals = instrument.journals;
    s.lastReading = began;
    s.newRecords = outcome.newRecords;
    s.failedRecords = outcome.failedRecords;
    s.nextReading = next;
    s.collector = collector;
    if (outcome.stopped) {
        s.state = archive::TCollectState::Stopped;
    } else if (!outcome.ok) {
        s.state = archive::TCollectState::Failing;
        const bool failing = before && before->state == archive::TCollectState::Failing &&
                             before->failingSince.isValid();
        s.failingSince = failing ? before->failingSince : began;
        s.error = outcome.error;
    }
    return s;
}

std::optional<QString> PageToken(const TCollectOptions& options, QString* usage) {
    if (!options.http)
        return QString();
    const QString token = LoadPageToken(options.tokenFile, usage);
    if (!usage->isEmpty())
        return std::nullopt;
    if (token.isEmpty() && !options.http->loopback()) {
        *usage = QStringLiteral("--http %1: страница будет доступна по сети, нужен ключ доступа "
                                "(--token-file ФАЙЛ или JOURNAL_COLLECT_TOKEN)")
                     .arg(options.http->address.toString());
        return std::nullopt;
    }
    return token;
}

TCollectorService::TCollectorService(const TCollectOptions& options,
                                     const core::TCatalogue& catalogue, const QString& pageToken)
    : m_options(options), m_catalogue(catalogue), m_pageToken(pageToken) {}

TCollectorService::~TCollectorService() {
    StopLines();
}

quint16 TCollectorService::httpPort() const {
    return m_page ? m_page->port() : 0;
}

bool TCollectorService::Start(const TCollectIo& io) {
    const QString path =
        m_options.config.isEmpty() ? DefaultListPath(m_catalogue.MainIniPath) : m_options.config;
    m_list = ReadInstrumentList(path, m_catalogue);
    if (!m_list.error.isEmpty()) {
        PrintLine(io.err, m_list.error);
        return false;
    }
    ReportProblems(m_list, io.err);
    CountLines();
    return OpenArchive(io) && StartPage(io);
}

void TCollectorService::CountLines() {
    std::map<QString, int> perLine;
    for (const TLine& line : m_list.lines)
        perLine[line.key] = int(line.instruments.size());
    m_metrics.SetLines(perLine);
}

void TCollectorService::StartLines(const TCollectIo& io) {
    TSchedulerOptions options;
    options.jobs = m_options.jobs;
    options.once = m_options.once;
    options.archiveUrl = m_archiveUrl;
    options.collector = CollectorName();
    options.lease = std::chrono::seconds(m_options.leaseSeconds);
    // The port mappings are made here, before the lines' threads read them.
    TLineReaderFactory readers =
        MasterLineReaders(m_archiveUrl, MapPorts(m_list, m_catalogue.MainIniPath));
    std::FILE* err = io.err;
    m_scheduler =
        std::make_unique<TScheduler>(m_list, std::move(readers), m_metrics, options,
                                     [err](const QString& line) { PrintLine(err, line); });
    m_scheduler->Start();
}

void TCollectorService::StopLines() {
    if (!m_scheduler)
        return;
    m_scheduler->Stop();
    m_scheduler->Wait();
}

bool TCollectorService::LinesFinished() const {
    return !m_scheduler || m_scheduler->Finished();
}

void TCollectorService::Reload(const TCollectIo& io) {
    const QString path =
        m_options.config.isEmpty() ? DefaultListPath(m_catalogue.MainIniPath) : m_options.config;
    TInstrumentList list = ReadInstrumentList(path, m_catalogue);
    if (!list.error.isEmpty() || ReportProblems(list, io.err)) {
        if (!list.error.isEmpty())
            PrintLine(io.err, list.error);
        PrintLine(io.err, QStringLiteral("Список %1 не применён: сборщик читает приборы по "
                                         "прежнему списку.")
                              .arg(path));
        return;
    }
    StopLines();
    m_scheduler.reset();
    m_list = std::move(list);
    CountLines();
    PrintLine(io.err, QStringLiteral("Список %1 перечитан: приборов %2, линий %3")
                          .arg(path, QString::number(m_list.instruments.size()),
                               QString::number(m_list.lines.size())));
    StartLines(io);
}

int TCollectorService::OnceStatus(const TCollectIo& io) const {
    const auto failures = m_scheduler ? m_scheduler->Failures() : std::vector<TOnceFailure>();
    const bool skipped = std::any_of(m_list.problems.begin(), m_list.problems.end(),
                                     [](const TListProblem& p) { return p.skipped; });
    if (!failures.empty()) {
        PrintLine(io.err, QStringLiteral("Не прочитаны приборы: %1 из %2")
                              .arg(QString::number(failures.size()),
                                   QString::number(m_list.instruments.size())));
        for (const TOnceFailure& f : failures)
            PrintLine(io.err, QStringLiteral("  %1 [%2]: %3").arg(f.instrument, f.line, f.error));
    }
    // An entry of the list that was left out was not read either.
    if (skipped)
        PrintLine(io.err, QStringLiteral("Приборы, пропущенные из-за ошибок в списке, не "
                                         "прочитаны (см. выше)."));
    return failures.empty() && !skipped ? kExitOk : kExitFailed;
}

bool TCollectorService::OpenArchive(const TCollectIo& io) {
    QString error;
    const auto url = CollectorArchiveUrl(m_options, m_catalogue, &error);
    if (!url) {
        PrintLine(io.err, error);
        return false;
    }
    m_archiveUrl = *url;
    const auto location = archive::ParseArchiveUrl(m_archiveUrl);
    if (location && location->engine == archive::TArchiveEngine::SQLite &&
        !m_lock.Take(location->path, &error)) {
        PrintLine(io.err, error);
        return false;
    }
    archive::TJournalArchive archive;
    if (!archive.Open(m_archiveUrl)) {
        PrintLine(io.err, archive.error());
        return false;
    }
    return true;
}

bool TCollectorService::StartPage(const TCollectIo& io) {
    if (!m_options.http)
        return true;
    QString error;
    m_page = std::make_unique<TStatusPage>(m_catalogue, m_metrics, m_archiveUrl, m_pageToken);
    if (!m_page->Listen(*m_options.http, &error)) {
        PrintLine(io.err, error);
        m_page.reset();
        return false;
    }
    const QString host = m_options.http->address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(m_options.http->address.toString())
                             : m_options.http->address.toString();
    PrintLine(io.err, QStringLiteral("Страница состояния: http://%1:%2/")
                          .arg(host, QString::number(m_page->port())));
    return true;
}

} // namespace collect
