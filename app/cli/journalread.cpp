// SPDX-License-Identifier: MIT
#include "app/cli/journalread.h"

#include "app/core/archivebrowser.h"
#include "app/core/archiverecorder.h"
#include "app/core/catalogue.h"
#include "app/core/instrumentsearch.h"
#include "app/core/journaldecoder.h"
#include "app/core/journalexport.h"
#include "app/core/selectors.h"
#include "app/core/storedseries.h"
#include "app/core/stringgrid.h"
#include "app/core/tcpwindow.h"
#include "platform/endpoint.h"
#include "platform/portlist.h"
#include "platform/replacefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>

namespace cli {
namespace {

constexpr int kBarWidth = 30;

// Returns 0, or the error number of a failed write.
int printLine(std::FILE* f, const QString& line) {
    return WriteText(f, line + u'\n');
}

// Lines for standard output: the status of the command, with a message when they could not all
// be written.
int PrintOutput(const QStringList& lines, std::FILE* out, std::FILE* err) {
    int error = 0;
    for (const QString& line : lines) {
        const int e = printLine(out, line);
        error = error != 0 ? error : e;
    }
    return StandardOutputStatus(error, err);
}

// The file's bytes to standard output; returns the exit status.
int WriteStandardOutput(const TCliOptions& options, const core::IStringGrid& sg,
                        const TDevInfo& device, TTypeDev layout, const TCliIo& io) {
    QString error;
    const std::optional<QByteArray> bytes =
        core::ExportBytes(options.format, sg, device.Name, layout, options.output, &error);
    if (!bytes) {
        printLine(io.err, error);
        return kExitRefused;
    }
    return StandardOutputStatus(WriteBytes(io.out, *bytes), io.err);
}

// "Сохранить...": the list to the output file as the window writes it (or to standard output);
// returns the exit status.
int WriteOutput(const TCliOptions& options, const core::IStringGrid& sg, const TDevInfo& device,
                int journalIndex, int recordsRead, int recordsFailed, const TCliIo& io) {
    const TTypeDev layout = device.journalAt(journalIndex)->typedev;
    QString where = QStringLiteral("стандартный вывод");
    if (options.toStandardOutput()) {
        if (const int status = WriteStandardOutput(options, sg, device, layout, io))
            return status;
    } else {
        const core::ExportResult exported =
            core::ExportFile(options.format, sg, device.Name, layout, options.output);
        if (!exported.ok) {
            printLine(io.err, exported.error);
            return kExitRefused;
        }
        if (!exported.notice.isEmpty())
            printLine(io.err, exported.notice);
        where = QStringLiteral("файл ") + exported.fileName;
    }
    // Records read and records that failed (their rows hold the error) are counted apart.
    const QString failed =
        recordsFailed > 0 ? QStringLiteral(", с ошибкой: %1").arg(recordsFailed) : QString();
    printLine(io.err,
              QStringLiteral("Записей: %1%2, %3").arg(QString::number(recordsRead), failed, where));
    return kExitOk;
}

// The archive the options name; nullopt with a message when it is turned off.
std::optional<QString> ArchiveUrl(const TCliOptions& options, const core::TCatalogue& catalogue,
                                  const TCliIo& io) {
    const archive::TArchiveSetting setting =
        core::ArchiveSettingFor(catalogue.Settings, options.archiveUrl, options.noArchive);
    if (setting.enabled)
        return setting.url;
    printLine(io.err, QStringLiteral("Архив журналов отключён ([Archive] Enabled=0 в %1)")
                          .arg(catalogue.MainIniPath));
    return std::nullopt;
}

// The archive opened to read; nullptr with its message on standard error. A command that only
// reads neither writes nor makes an archive.
std::unique_ptr<archive::TJournalArchive>
OpenArchive(const TCliOptions& options, const core::TCatalogue& catalogue, const TCliIo& io) {
    const auto url = ArchiveUrl(options, catalogue, io);
    if (!url)
        return nullptr;
    auto archive = std::make_unique<archive::TJournalArchive>();
    if (archive->Open(*url, archive::kDefaultBusyTimeoutMs, archive::TOpenMode::ReadOnly))
        return archive;
    printLine(io.err, archive->error());
    return nullptr;
}

QString IsoTime(const QDateTime& time) {
    return time.isValid() ? time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate)
                          : QString();
}

QString OptionalNumber(const std::optional<qint64>& n) {
    return n ? QString::number(*n) : QString();
}

} // namespace

TCliRunHost::TCliRunHost(std::FILE* err, bool terminal, std::function<bool()> stopRequested)
    : m_err(err), m_terminal(terminal), m_stopRequested(std::move(stopRequested)) {}

void TCliRunHost::print(const QString& line) {
    finishProgress();
    printLine(m_err, line);
}

void TCliRunHost::ShowMessage(const QString& text, const QString& detail) {
    // The window's "Ошибка открытия СОМ-порта." names a COM port; the endpoint's own reason
    // ("Соединение с tcp://... отклонено ...") says what failed.
    if (m_networkPort && !detail.isEmpty() && m_run &&
        m_run->Result().end == core::TRunEnd::ConnectFailed) {
        print(detail);
        return;
    }
    print(detail.isEmpty() ? text : text + QStringLiteral("\n") + detail);
}

void TCliRunHost::SetCountText(const QString& text) {
    // The label's placeholder while the count is read is not printed; the count or the error
    // text of a failed read is.
    if (!m_run) {
        print(text);
        return;
    }
    const core::TRunResult& r = m_run->Result();
    if (r.countKnown || r.end == core::TRunEnd::CountReadFailed ||
        r.end == core::TRunEnd::OverflowReadFailed)
        print(text);
}

void TCliRunHost::SetProgressMaximum(int maximum) {
    m_maximum = std::max(maximum, 0);
    m_lastTenth = 0;
    m_lastPrinted = 0;
    m_counting = true;
}

void TCliRunHost::SetRunState(core::TRunState state) {
    if (state != core::TRunState::Idle)
        return;
    if (m_counting)
        drawProgress(true);
    m_counting = false;
    finishProgress();
}

void TCliRunHost::BetweenCalls() {
    if (m_counting)
        drawProgress(false);
    if (m_stopRequested() && m_run)
        m_run->Stop();
}

void TCliRunHost::drawProgress(bool force) {
    if (m_maximum <= 0)
        return;
    const int done = std::min(recordsDone(), m_maximum);
    if (m_terminal) {
        const auto now = std::chrono::steady_clock::now();
        if (!force && done < m_maximum && now - m_lastDraw < std::chrono::milliseconds(100))
            return;
        m_lastDraw = now;
        const int filled = static_cast<int>(static_cast<long long>(kBarWidth) * done / m_maximum);
        const QString bar = QString(filled, u'#') + QString(kBarWidth - filled, u'.');
        const QString line =
            QStringLiteral("\r[%1] %2/%3 %4").arg(bar).arg(done).arg(m_maximum).arg(m_status);
        std::fputs(line.toUtf8().constData(), m_err);
        std::fputs("\x1b[K", m_err); // clear the rest of a longer previous line
        std::fflush(m_err);
        m_barOpen = true;
        return;
    }
    // A line whenever another tenth of the run is done, and for the last record of a stopped run.
    const int tenth = static_cast<int>(10LL * done / m_maximum);
    if (done == 0 || done == m_lastPrinted || (tenth == m_lastTenth && !force))
        return;
    m_lastTenth = tenth;
    m_lastPrinted = done;
    printLine(m_err, QStringLiteral("%1/%2").arg(done).arg(m_maximum));
}

void TCliRunHost::finishProgress() {
    if (m_barOpen) {
        std::fputc('\n', m_err);
        std::fflush(m_err);
        m_barOpen = false;
    }
}

int ListCatalogue(const core::TCatalogue& catalogue, std::FILE* out, std::FILE* err) {
    QStringList lines;
    int n = 0;
    for (const auto& dev : catalogue.ListDev) {
        ++n;
        lines << QString::number(n) + u'\t' + dev->Name;
        const QStringList journals = core::JournalItems(*dev);
        for (qsizetype j = 0; j < journals.size(); ++j) {
            // A number outside 0..255 travels by its low 8 bits: the list names the one sent.
            const std::int32_t num = dev->Journal[std::size_t(j)].Num;
            const QString archive =
                core::ArchiveNumberSentAsIs(num)
                    ? QString()
                    : QStringLiteral(" — архив %1").arg(int(core::ArchiveOnWire(num)));
            lines << QStringLiteral("%1.%2\t").arg(n).arg(j + 1) + journals[j] + archive;
        }
    }
    return PrintOutput(lines, out, err);
}

int WriteText(std::FILE* f, const QString& text) {
    return WriteBytes(f, text.toUtf8());
}

int WriteBytes(std::FILE* f, const QByteArray& bytes) {
    errno = 0;
    const bool ok = std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), f) ==
                        static_cast<size_t>(bytes.size()) &&
                    std::fflush(f) == 0;
    return ok ? 0 : (errno != 0 ? errno : EIO);
}

int StandardOutputStatus(int error, std::FILE* err) {
    if (error == 0)
        return kExitOk;
    printLine(err, QStringLiteral("journal-read: не удалось записать стандартный вывод: %1.")
                       .arg(platform::writeErrorText(error)));
    return kExitRefused;
}

QString CheckOutputFile(const QString& fileName, const QString& option) {
    const int e = platform::TReplaceFile::checkWritable(fileName);
    if (e == 0)
        return {};
    return QStringLiteral("%1: файл %2 нельзя записать: %3")
        .arg(option, fileName, platform::writeErrorText(e));
}

const TDevInfo* FindDevice(const core::TCatalogue& catalogue, const QString& nameOrIndex) {
    for (const auto& dev : catalogue.ListDev)
        if (dev->Name == nameOrIndex)
            return dev.get();
    bool ok = false;
    const int position = nameOrIndex.trimmed().toInt(&ok);
    if (ok && position >= 1 && static_cast<std::size_t>(position) <= catalogue.ListDev.size())
        return catalogue.ListDev[static_cast<std::size_t>(position - 1)].get();
    return nullptr;
}

QString CheckCatalogueFolder(const QString& folder) {
    if (!QFileInfo(folder).isDir())
        return QStringLiteral("--catalogue: «%1» — не папка").arg(folder);
    if (!QFileInfo(QDir(folder).filePath(QStringLiteral("main.ini"))).isFile())
        return QStringLiteral("--catalogue: в папке «%1» нет main.ini").arg(folder);
    return {};
}

QString CheckDeviceAndJournal(const TCliOptions& options, const core::TCatalogue& catalogue) {
    if (options.list || options.archiveList || options.fromArchive ||
        (options.search && options.device.isEmpty()))
        return {};
    const TDevInfo* device = FindDevice(catalogue, options.device);
    if (!device)
        return QStringLiteral("--device: прибора «%1» нет в каталоге %2 (приборов: %3, см. --list)")
            .arg(options.device, catalogue.MainIniPath, QString::number(catalogue.ListDev.size()));
    if (!device->journalAt(options.journal - 1))
        return QStringLiteral("--journal: у прибора «%1» нет журнала %2 (журналов: %3)")
            .arg(device->Name, QString::number(options.journal),
                 QString::number(device->CountJournals));
    return {};
}

void ExportPortMapping(int number, const QString& mainIniPath) {
    const QString path = platform::PortList::devicePathFor(number, mainIniPath);
    if (path.isEmpty() || path == platform::PortList::devicePathFor(number))
        return;
    // The variable wins over every main.ini, and it has no mapping of this number yet (else both
    // look-ups above would agree).
    platform::addEnvironmentPortMapping(number, path);
}

TRunTrace::TRunTrace(core::IModbusLink& library, const QString& fileName)
    : m_library(library), m_fileName(fileName) {
    m_fanOut.add(&m_diagnosis);
    if (!fileName.isEmpty()) {
        errno = 0;
        m_file = std::fopen(QFile::encodeName(fileName).constData(), "w");
        if (m_file) {
            m_writer = std::make_unique<core::TTraceTextWriter>(
                [this](const QString& line) { write(line); });
            m_fanOut.add(m_writer.get());
        } else {
            m_writeError = errno != 0 ? errno : EIO;
        }
    }
    m_library.SetTraceObserver(&m_fanOut);
}

TRunTrace::~TRunTrace() {
    close();
}

void TRunTrace::write(const QString& line) {
    if (m_writeError != 0)
        return;
    const QByteArray bytes = line.toUtf8();
    errno = 0;
    if (std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), m_file) !=
        std::size_t(bytes.size()))
        m_writeError = errno != 0 ? errno : EIO;
}

// The buffered end of the file reaches the disk here: a full disk often shows only now.
void TRunTrace::close() {
    m_library.SetTraceObserver(nullptr);
    if (!m_file)
        return;
    errno = 0;
    const bool flushed = std::fflush(m_file) == 0;
    const int flushError = errno;
    errno = 0;
    const bool closed = std::fclose(m_file) == 0;
    const int closeError = errno;
    m_file = nullptr;
    if (m_writeError == 0 && !flushed)
        m_writeError = flushError != 0 ? flushError : EIO;
    if (m_writeError == 0 && !closed)
        m_writeError = closeError != 0 ? closeError : EIO;
}

QString TRunTrace::fileError() const {
    if (m_writeError == 0)
        return {};
    return QStringLiteral("--trace: не удалось записать файл %1: %2.")
        .arg(m_fileName, platform::writeErrorText(m_writeError));
}

bool TRunTrace::report(const core::TRunResult& result, std::FILE* err) {
    close();
    const QString text = m_diagnosis.Text(core::TAdviceFor::CommandLine);
    if (!text.isEmpty() && (result.readFailed() || m_writer)) {
        printLine(err, text);
        if (const QString failed = core::FailedRecordsText(result.failedRecords); !failed.isEmpty())
            printLine(err, failed);
    }
    const QString error = fileError();
    if (!error.isEmpty())
        printLine(err, error);
    return error.isEmpty();
}

namespace {

core::TPortChoice ChoosePort(const TCliOptions& options, const core::TCatalogue& catalogue) {
    // The port as if typed into the port selector: COMn or a device path.
    const core::TPortChoice port =
        core::ResolvePortChoice({}, {}, -1, options.port, catalogue.MainIniPath);
    if (port.ok())
        ExportPortMapping(port.number, catalogue.MainIniPath);
    return port;
}

int ChosenSpeed(const TCliOptions& options, const core::TConnectionSettings& settings) {
    const int speedItem = settings.lastcomspeed;
    return options.speed.value_or(speedItem >= 0 &&
                                          speedItem < static_cast<int>(std::size(core::kSpeeds))
                                      ? core::kSpeeds[speedItem]
                                      : comm::ipc::kDefaultBaudRate);
}

core::TSearchRequest SearchRequest(const TCliOptions& options, const core::TCatalogue& catalogue,
                                   int port) {
    const TDevInfo* device = FindDevice(catalogue, options.device);
    core::TSearchRequest request =
        core::SearchRequestFor(port, options.linkType.value_or(catalogue.Settings.lastlink),
                               ChosenSpeed(options, catalogue.Settings),
                               device ? device->journalAt(options.journal - 1) : nullptr);
    request.firstAddress = options.firstAddress;
    request.lastAddress = options.lastAddress;
    request.all = options.all;
    return request;
}

} // namespace

int SearchInstrument(const TCliOptions& options, const core::TCatalogue& catalogue,
                     core::IModbusLink& library, const TCliIo& io) {
    const core::TPortChoice port = ChoosePort(options, catalogue);
    if (!port.ok()) {
        printLine(io.err, port.error);
        return kExitRefused;
    }
    const core::TSearchRequest request = SearchRequest(options, catalogue, port.number);
    const auto bound = core::TInstrumentSearch::Bound(request);
    printLine(io.err, QStringLiteral("Поиск прибора: скоростей %1, адресов %2, не дольше %3 с")
                          .arg(request.speeds.size())
                          .arg(request.lastAddress - request.firstAddress + 1)
                          .arg((bound.count() + 999) / 1000));
    int lastTenth = 0;
    const auto progress = [&](int done, int total) {
        const int tenth = total > 0 ? 10 * done / total : 10;
        if (tenth > lastTenth) {
            lastTenth = tenth;
            printLine(io.err, QStringLiteral("%1/%2").arg(done).arg(total));
        }
        return io.stopRequested();
    };
    const core::TConnectionSettings& s = catalogue.Settings;
    const core::TSearchResult result = core::TInstrumentSearch(library).Run(
        request, progress, options.timeout.value_or(s.AnswerTime),
        options.retries.value_or(s.Retries));
    if (result.stopped)
        return kExitInterrupt;
    if (!result.error.isEmpty()) {
        printLine(io.err, result.error);
        return kExitRefused;
    }
    const int error = printLine(io.out, result.Text());
    if (error != 0)
        return StandardOutputStatus(error, io.err);
    return result.found.empty() ? kExitRefused : kExitOk;
}

namespace {

// The run as the window would start it with the same choices.
core::TRunRequest RequestFor(const TCliOptions& options, const core::TCatalogue& catalogue) {
    // Checked by CheckDeviceAndJournal before; the run itself refuses a missing one.
    const core::TPortChoice port = ChoosePort(options, catalogue);
    const core::TLinkChoice link{port.ok() ? port.number : 0,
                                 ChosenSpeed(options, catalogue.Settings), port.error};
    core::TConnectionSettings line = catalogue.Settings;
    line.lastlink = options.linkType.value_or(line.lastlink);
    line.lastaddr = options.address.value_or(line.lastaddr.value_or(1));
    line.Retries = options.retries.value_or(line.Retries);
    line.AnswerTime = options.timeout.value_or(line.AnswerTime);
    core::TRunRequest request = core::RunRequestFor(FindDevice(catalogue, options.device),
                                                    options.journal - 1, link, options.port, line);
    request.limit = options.start.has_value();
    if (request.limit) {
        request.startText = QString::number(*options.start);
        request.countText = QString::number(*options.count);
    }
    request.incremental = options.incremental;
    return request;
}

// The run's requests in flight on a Modbus TCP endpoint, from --tcp-window or main.ini.
core::TTcpWindowPlan PlanWindow(const TCliOptions& options, const core::TCatalogue& catalogue,
                                core::TRunRequest& request, const TCliIo& io) {
    QString error;
    const core::TTcpWindowPlan plan = core::PlanTcpWindow(
        catalogue.MainIniPath,
        request.portNumber
            ? platform::PortList::devicePathFor(*request.portNumber, catalogue.MainIniPath)
            : QString(),
        options.tcpWindow, &error);
    if (!error.isEmpty())
        printLine(io.err, error);
    request.tcpWindow = plan.window;
    request.startWindow = plan.startWindow;
    return plan;
}

// Remembers the window the run reached for its endpoint's next reading.
void RememberWindow(const core::TCatalogue& catalogue, const core::TTcpWindowPlan& plan,
                    const core::TRunResult& result, const TCliIo& io) {
    QString message;
    if (result.windowReached > 0 &&
        !core::RememberTcpWindow(catalogue.MainIniPath, plan, result.windowReached,
                                 result.windowFallback != 0, &message))
        printLine(io.err, message);
}

} // namespace

int ReadJournal(const TCliOptions& options, const core::TCatalogue& catalogue,
                core::IModbusLink& library, const TCliIo& io) {
    core::TRunRequest request = RequestFor(options, catalogue);
    const core::TTcpWindowPlan window = PlanWindow(options, catalogue, request, io);
    // The window reads the count of a journal whose record layout it does not know and no
    // record; a file of headings only would look like an empty journal, so say why instead.
    const TJournalInfo* journal =
        request.device ? request.device->journalAt(request.journalIndex) : nullptr;
    if (journal && journal->typedev > tdQuint) {
        printLine(io.err, QStringLiteral("У журнала %1 прибора «%2» неизвестный формат записей "
                                         "(ArchStandart%1=%3).")
                              .arg(QString::number(options.journal), request.device->Name,
                                   QString::number(journal->typedev)));
        return kExitRefused;
    }
    if (journal && !core::ArchiveNumberSentAsIs(journal->Num))
        printLine(io.err, QStringLiteral("Журнал %1 прибора «%2»: ArchNum%1=%3, в запросах — архив "
                                         "%4 (младшие 8 бит номера).")
                              .arg(QString::number(options.journal), request.device->Name,
                                   QString::number(journal->Num),
                                   QString::number(core::ArchiveOnWire(journal->Num))));

    core::TListGrids list;
    TCliRunHost host(io.err, io.terminal, io.stopRequested);
    core::TReadingRun run(library, list.runDecoder, list.sg, host);
    host.setRun(&run);
    if (request.portNumber)
        host.setNetworkPort(platform::isNetworkEndpoint(
            platform::PortList::devicePathFor(*request.portNumber, catalogue.MainIniPath)));
    const archive::TArchiveSetting archiveSetting =
        core::ArchiveSettingFor(catalogue.Settings, options.archiveUrl, options.noArchive);
    std::unique_ptr<core::TArchiveRecorder> recorder;
    if (archiveSetting.enabled) {
        recorder = std::make_unique<core::TArchiveRecorder>(archiveSetting.url);
        run.SetArchive(recorder.get());
    }
    TRunTrace trace(library, options.trace);
    const core::TRunResult result = run.Run(request);
    host.finishProgress();
    const bool traceWritten = trace.report(result, io.err);
    RememberWindow(catalogue, window, result, io);
    const bool stopped = io.stopRequested();
    if ((result.incremental != core::TIncremental::None || result.windowFallback != 0) &&
        result.readRecords())
        printLine(io.err, host.statusText());
    if (const QString text = core::StoppedText(result); !text.isEmpty())
        printLine(io.err, text);

    int status = kExitOk;
    if (!result.offersExport()) {
        // A refusal's message or a failed read's error text is already on standard error.
        if (!stopped && result.end != core::TRunEnd::Finished)
            status = kExitRefused;
        else if (!stopped)
            printLine(io.err, QStringLiteral("Журнал пуст, файл не записан."));
    } else {
        status = WriteOutput(options, list.sg, *request.device, request.journalIndex,
                             result.recordsRead, result.recordsFailed, io);
    }
    // A failed trace file fails the command as a failed output file does; the file is written.
    if (!traceWritten && status == kExitOk)
        status = kExitRefused;
    if (recorder) {
        recorder->Finish(io.stopRequested);
        if (const auto error = recorder->TakeError())
            printLine(io.err, *error);
    }
    return io.stopRequested() && status == kExitOk ? kExitInterrupt : status;
}

int ListArchive(const TCliOptions& options, const core::TCatalogue& catalogue, const TCliIo& io) {
    const auto archive = OpenArchive(options, catalogue, io);
    const auto series = archive ? archive->ListSeries() : std::nullopt;
    if (!series) {
        if (archive)
            printLine(io.err, archive->error());
        return kExitRefused;
    }
    QStringList lines;
    for (const auto& s : *series)
        lines << QStringList{QString::number(s.id),
                             s.journal.deviceName,
                             QString::number(s.journal.journalNumber),
                             OptionalNumber(s.firstNumber),
                             OptionalNumber(s.lastNumber),
                             QString::number(s.records),
                             IsoTime(s.lastReadingTime),
                             core::ReadingEndText(s.lastEnd)}
                     .join(u'\t');
    return PrintOutput(lines, io.out, io.err);
}

int ExportFromArchive(const TCliOptions& options, const core::TCatalogue& catalogue,
                      const TCliIo& io) {
    const auto archive = OpenArchive(options, catalogue, io);
    if (!archive)
        return kExitRefused;
    core::TListGrids list;
    const core::TShownSeries shown =
        core::ShowSeries(*archive, catalogue.ListDev, *options.fromArchive, options.start,
                         options.count, list.runDecoder, list.sg);
    if (!shown.ok()) {
        printLine(io.err, shown.error);
        return kExitRefused;
    }
    if (const QString notice = list.runDecoder.RunNotice(); !notice.isEmpty())
        printLine(io.err, notice);
    return WriteOutput(options, list.sg, *shown.device, shown.journalIndex,
                       shown.count - shown.failed, shown.failed, io);
}

} // namespace cli
