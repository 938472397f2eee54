// SPDX-License-Identifier: MIT
// journal-read and its archive for real: the simulated instrument on a pseudo-terminal, the real
// access library, an SQLite file or the suite's PostgreSQL server. An incremental reading writes
// the file a full reading writes and asks the instrument only for what the archive lacks.
#include "archivetestfixture.h"
#include "journalgrowth.h"

#include "app/core/archivebrowser.h"
#include "app/core/catalogue.h"
#include "platform/inifile.h"
#include "sim/simulator.h"
#include "simulatorfixture.h"
#include "unprivileged.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <csignal>
#include <set>
#include <sys/stat.h>

namespace {

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new PostgresEnvironment);

constexpr int kCom = 9;

QByteArray FileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

// Another instrument's records: every time from record `from` on a second later.
void Shift(sim::Instrument& inst, int journal, int from) {
    auto& records = inst.journal(journal)->records;
    for (int k = from; k < records.size(); ++k)
        records[k][3] = char(records[k][3] + 1);
}

struct Outcome {
    int status = -1;
    QString err;
    QString out;
};

class ArchiveRunTest : public ArchiveTest {
protected:
    void SetUp() override {
        ArchiveTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        catalogue.Load(m_catalogue);
        ASSERT_EQ(catalogue.ListDev.size(), 6u);
    }

    void Start(const sim::Instrument& inst) {
        simulator = std::make_unique<sim::Simulator>(inst);
        QString error;
        ASSERT_TRUE(simulator->start(&error)) << error.toStdString();
        qputenv("JOURNAL_PORTS",
                QStringLiteral("COM%1=%2").arg(kCom).arg(simulator->clientPath()).toUtf8());
    }

    static sim::Instrument Content(const QString& name) {
        QString error;
        auto inst = sim::Instrument::fromFile(
            QStringLiteral(JOURNAL_SOURCE_DIR "/sim/content/%1.sim").arg(name), &error);
        EXPECT_TRUE(inst) << error.toStdString();
        return inst.value_or(sim::Instrument());
    }

    QString Out(const QString& name) const { return m_dir.filePath(name); }

    // The arguments of a reading of device `device` (1-based), journal `journal` into `output`.
    QStringList Reading(int device, int journal, const QString& output) const {
        return {QStringLiteral("--catalogue"), m_catalogue,
                QStringLiteral("--device"),    QString::number(device),
                QStringLiteral("--journal"),   QString::number(journal),
                QStringLiteral("--port"),      QStringLiteral("COM%1").arg(kCom),
                QStringLiteral("--speed"),     QStringLiteral("115200"),
                QStringLiteral("--retries"),   QStringLiteral("1"),
                QStringLiteral("--archive"),   m_url,
                QStringLiteral("--output"),    output};
    }

    // The same reading with the archive turned off.
    static QStringList WithoutArchive(QStringList arguments) {
        const qsizetype at = arguments.indexOf(QStringLiteral("--archive"));
        arguments.remove(at, 2);
        return arguments << QStringLiteral("--no-archive");
    }

    QProcess* StartRead(const QStringList& arguments) {
        auto* p = new QProcess;
        m_processes.emplace_back(p);
        p->start(QStringLiteral(JOURNAL_BIN_DIR "/journal-read"), arguments);
        EXPECT_TRUE(p->waitForStarted());
        return p;
    }

    Outcome Read(const QStringList& arguments) {
        QProcess* p = StartRead(arguments);
        EXPECT_TRUE(p->waitForFinished(120000));
        return {p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1,
                QString::fromUtf8(p->readAllStandardError()),
                QString::fromUtf8(p->readAllStandardOutput())};
    }

    // The record indexes the instrument was asked for since the log was last cleared.
    std::vector<int> RecordRequests() const { return ::RecordRequests(*simulator); }

    std::vector<QStringList> SeriesLines() {
        const Outcome r =
            Read({QStringLiteral("--catalogue"), m_catalogue, QStringLiteral("--archive"), m_url,
                  QStringLiteral("--archive-list")});
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        std::vector<QStringList> lines;
        for (const QString& line : r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            lines.push_back(line.split(QLatin1Char('\t')));
        return lines;
    }

    const QString m_catalogue = QStringLiteral(JOURNAL_SOURCE_DIR "/examples");
    core::TCatalogue catalogue;
    std::unique_ptr<sim::Simulator> simulator;
};

// Every layout of the sample catalogue, two of them ring journals that wrap between the visits:
// after new records, the incremental reading's file is the full reading's, byte for byte, and
// the instrument was asked for the comparison record and the new records only.
TEST_P(ArchiveRunTest, IncrementalReadingWritesTheFullReadingsFile) {
    const struct {
        const char* content;
        int device, journal, added;
    } cases[] = {
        {"rt10", 1, 1, 3},  {"rt10", 1, 2, 900}, {"st2", 2, 1, 4},   {"st2", 2, 2, 2},
        {"kp3", 3, 1, 5},   {"pr4", 4, 1, 80},   {"marlo", 5, 1, 3}, {"marlo", 5, 2, 3},
        {"quint", 6, 1, 2}, {"quint", 6, 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.content << " journal " << c.journal);
        NewArchive();
        const TDevInfo& device = *catalogue.ListDev[std::size_t(c.device - 1)];
        const TJournalInfo& j = *device.journalAt(c.journal - 1);
        const bool modes = c.journal > 1 && (j.typedev == tdMarlo || j.typedev == tdQuint);
        sim::Instrument inst = Content(QString::fromUtf8(c.content));
        Start(inst);
        const QString name = QStringLiteral("%1-%2").arg(c.content).arg(c.journal);
        Outcome r = Read(Reading(c.device, c.journal, Out(name + QStringLiteral("-1.txt"))));
        ASSERT_EQ(r.status, 0) << r.err.toStdString();

        const Held before = HeldRecords(simulator->instrument(), j);
        simulator->updateInstrument([&](sim::Instrument& i) { Grow(i, j, modes, c.added); });
        const Held after = HeldRecords(simulator->instrument(), j);
        simulator->clearRequestLog();
        const QString incremental = Out(name + QStringLiteral("-incremental.txt"));
        r = Read(Reading(c.device, c.journal, incremental) << QStringLiteral("--incremental"));
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("Дочитано: новых записей %1, из архива %2")
                                       .arg(c.added)
                                       .arg(before.maxRec - after.first)))
            << r.err.toStdString();
        std::vector<int> expected{RequestIndex(j, before.maxRec - 1)};
        for (int n = before.maxRec; n < after.maxRec; ++n)
            expected.push_back(RequestIndex(j, n));
        EXPECT_EQ(RecordRequests(), expected);

        const QString full = Out(name + QStringLiteral("-full.txt"));
        r = Read(WithoutArchive(Reading(c.device, c.journal, full)));
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_EQ(FileBytes(incremental), FileBytes(full));
        const auto series = SeriesLines();
        ASSERT_EQ(series.size(), 1u);
        ExpectConsistent(*Open());

        // The whole series holds the records the ring has overwritten since the first visit too:
        // they come before the rows of the full reading.
        const QString stored = Out(name + QStringLiteral("-stored.txt"));
        r = Read({QStringLiteral("--catalogue"), m_catalogue, QStringLiteral("--archive"), m_url,
                  QStringLiteral("--from-archive"), series[0][0], QStringLiteral("--output"),
                  stored});
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        const QList<QByteArray> storedLines = FileBytes(stored).split('\n');
        const QList<QByteArray> fullLines = FileBytes(full).split('\n');
        ASSERT_EQ(storedLines.size() - fullLines.size(), after.first - before.first);
        EXPECT_EQ(storedLines.mid(storedLines.size() - fullLines.size() + 1), fullLines.mid(1));
    }
}

// Whether the instrument is the one of a series: only when it repeats the series' newest record.
// Records that failed at the first visit are asked for again.
TEST_P(ArchiveRunTest, IncrementalReadingIdentifiesTheInstrument) {
    const TJournalInfo& j = *catalogue.ListDev[0]->journalAt(0); // 14 records
    const struct {
        const char* name;
        const char* fault; // during the first visit
        std::function<void(sim::Instrument&)> between;
        bool continues;
        std::vector<int> requests;
    } cases[] = {
        {"new records", "", [&](auto& i) { Grow(i, j, false, 2); }, true, {13, 14, 15}},
        {"records that failed are read again",
         "exception record=1:5 code=4",
         [&](auto& i) { Grow(i, j, false, 1); },
         true,
         {13, 5, 14}},
        {"another instrument of the type",
         "",
         [](auto& i) { Shift(i, 1, 0); },
         false,
         {13, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
        {"a record changed in place",
         "",
         [](auto& i) { Shift(i, 1, 13); },
         false,
         {13, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
        {"a cleared journal",
         "",
         [&](auto& i) {
             i.journal(1)->records.clear();
             i.setRegister(300001, 0);
             Grow(i, j, false, 5);
         },
         false,
         {0, 1, 2, 3, 4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NewArchive();
        Start(Content(QStringLiteral("rt10")));
        if (*c.fault)
            simulator->addFault(*sim::parseFault(QString::fromUtf8(c.fault)));
        ASSERT_EQ(Read(Reading(1, 1, Out(QStringLiteral("first.txt")))).status, 0);
        simulator->clearFaults();
        simulator->updateInstrument(c.between);
        simulator->clearRequestLog();
        const Outcome r = Read(Reading(1, 1, Out(QStringLiteral("incremental.txt")))
                               << QStringLiteral("--incremental"));
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_EQ(RecordRequests(), c.requests);
        EXPECT_EQ(r.err.contains(QStringLiteral("новая серия")), !c.continues)
            << r.err.toStdString();
        ASSERT_EQ(Read(WithoutArchive(Reading(1, 1, Out(QStringLiteral("full.txt"))))).status, 0);
        EXPECT_EQ(FileBytes(Out(QStringLiteral("incremental.txt"))),
                  FileBytes(Out(QStringLiteral("full.txt"))));
        EXPECT_EQ(SeriesLines().size(), c.continues ? 1u : 2u);
    }
}

// Behind a Modbus TCP gateway that queues requests, with a network delay, readings keep requests
// in flight: an incremental reading that takes stored records, failed ones asked again and new
// ones in between writes the file of a full reading made one request at a time, and the window it
// reached is remembered for the endpoint. A gateway that serves one request at a time makes the
// reading fall back, says so once, loses no record and is remembered with 1.
TEST_P(ArchiveRunTest, PipelinedReadingsEqualOneRequestAtATime) {
    QTemporaryDir folder;
    const QDir examples(m_catalogue);
    ASSERT_TRUE(QFile::copy(examples.filePath(QStringLiteral("main.ini")),
                            folder.filePath(QStringLiteral("main.ini"))));
    ASSERT_TRUE(QFile::link(examples.filePath(QStringLiteral("devices")),
                            folder.filePath(QStringLiteral("devices"))));
    const auto reading = [&](const QString& file, const QString& window) {
        return Reading(1, 1, Out(file)).replaceInStrings(m_catalogue, folder.path())
               << QStringLiteral("--tcp-window") << window;
    };
    const auto remembered = [&] {
        platform::IniFile ini;
        ini.read(folder.filePath(QStringLiteral("main.ini")));
        return ini.readInteger(u"TcpWindow", simulator->clientPath(), 0);
    };
    const TJournalInfo& j = *catalogue.ListDev[0]->journalAt(0);
    for (const sim::GatewayModel gateway : {sim::GatewayModel::Queue, sim::GatewayModel::Single}) {
        SCOPED_TRACE(int(gateway));
        NewArchive();
        QString error;
        simulator =
            fixture::StartSimulator(Content(QStringLiteral("rt10")),
                                    {.com = kCom,
                                     .network = platform::NetworkEndpoint::Framing::ModbusTcp,
                                     .gateway = gateway,
                                     .latency = 10},
                                    &error);
        ASSERT_TRUE(simulator) << error.toStdString();
        simulator->addFault(*sim::parseFault(QStringLiteral("exception record=1:5 code=4")));
        ASSERT_EQ(Read(reading(QStringLiteral("first.txt"), QStringLiteral("auto"))).status, 0);
        simulator->clearFaults();
        simulator->updateInstrument([&](sim::Instrument& i) { Grow(i, j, false, 40); });
        const Outcome r = Read(reading(QStringLiteral("incremental.txt"), QStringLiteral("auto"))
                               << QStringLiteral("--incremental"));
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("Дочитано: новых записей 41")))
            << r.err.toStdString();
        const Outcome full =
            Read(WithoutArchive(reading(QStringLiteral("full.txt"), QStringLiteral("1"))));
        ASSERT_EQ(full.status, 0) << full.err.toStdString();
        EXPECT_EQ(FileBytes(Out(QStringLiteral("incremental.txt"))),
                  FileBytes(Out(QStringLiteral("full.txt"))));
        const bool single = gateway == sim::GatewayModel::Single;
        EXPECT_EQ(r.err.count(QStringLiteral("по одному запросу")), single ? 1 : 0)
            << r.err.toStdString();
        const int window = remembered();
        EXPECT_TRUE(single ? window == 1 : window > 4) << window;
        simulator.reset();
    }
}

// --archive-list and --from-archive: the stored series written as the reading wrote it, also a
// part of it, without an instrument.
TEST_P(ArchiveRunTest, WritesFilesFromTheArchive) {
    Start(Content(QStringLiteral("pr4")));
    ASSERT_EQ(Read(Reading(4, 1, Out(QStringLiteral("read.txt")))).status, 0);
    ASSERT_EQ(Read(WithoutArchive(Reading(4, 1, Out(QStringLiteral("part.txt")))
                                  << QStringLiteral("--start") << QStringLiteral("40")
                                  << QStringLiteral("--count") << QStringLiteral("25")))
                  .status,
              0);
    simulator.reset();
    const auto lines = SeriesLines();
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0].size(), 8);
    EXPECT_EQ(lines[0][7], QStringLiteral("завершено"));
    EXPECT_EQ(lines[0].mid(1, 5),
              (QStringList{QStringLiteral("Преобразователь ПР-4"), QStringLiteral("1"),
                           QStringLiteral("31"), QStringLiteral("130"), QStringLiteral("100")}));
    EXPECT_TRUE(QDateTime::fromString(lines[0][6], Qt::ISODate).isValid())
        << lines[0][6].toStdString();
    const struct {
        QStringList range;
        const char* file;
        int status;
    } cases[] = {
        {{}, "read.txt", 0},
        {{QStringLiteral("--start"), QStringLiteral("40"), QStringLiteral("--count"),
          QStringLiteral("25")},
         "part.txt",
         0},
        {{QStringLiteral("--start"), QStringLiteral("5"), QStringLiteral("--count"),
          QStringLiteral("25")},
         nullptr,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.range.join(QLatin1Char(' ')).toStdString());
        const QString file = Out(QStringLiteral("stored.txt"));
        QFile::remove(file);
        const Outcome r =
            Read(QStringList{QStringLiteral("--catalogue"), m_catalogue,
                             QStringLiteral("--archive"), m_url, QStringLiteral("--from-archive"),
                             lines[0][0], QStringLiteral("--output"), file} +
                 c.range);
        EXPECT_EQ(r.status, c.status) << r.err.toStdString();
        if (c.file) {
            EXPECT_EQ(FileBytes(file), FileBytes(Out(QString::fromUtf8(c.file))));
        } else {
            EXPECT_FALSE(QFile::exists(file));
        }
    }
}

// journal-read stopped by a signal says where and stores the reading as stopped (the list of
// series says so). An incremental reading then asks only for the records not yet read (after the
// comparison record) and writes the full reading's file; the series is whole, its last reading
// finished.
TEST_P(ArchiveRunTest, StoppedReadingIsStoredAsStoppedAndContinued) {
    const struct {
        const char* name;
        int journal;
        int signal, status;
        int after; // records requested before the signal
    } cases[] = {
        {"a linear journal, SIGTERM", 1, SIGTERM, 143, 300},
        {"the ring of 1000, Ctrl-C", 2, SIGINT, 130, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NewArchive();
        sim::Instrument inst = Content(QStringLiteral("rt10"));
        if (c.journal == 1) {
            sim::Instrument::addSynthetic(*inst.journal(1), 1200 - 14);
            inst.setRegister(300001, 1200);
        }
        Start(inst);
        simulator->setPacing(115200);
        const TJournalInfo& j = *catalogue.ListDev[0]->journalAt(c.journal - 1);
        const Held held = HeldRecords(simulator->instrument(), j);
        const QString name = QStringLiteral("journal%1").arg(c.journal);
        QProcess* p = StartRead(Reading(1, c.journal, Out(name + QStringLiteral("-stopped.txt"))));
        ASSERT_TRUE(WaitUntil([&] { return int(RecordRequests().size()) >= c.after; }));
        const auto pid = static_cast<pid_t>(p->processId());
        ASSERT_GT(pid, 0) << "the reading ended before the signal"; // kill(0) hits the tests
        ::kill(pid, c.signal);
        ASSERT_TRUE(p->waitForFinished(20000));
        simulator->setPacing(0);
        const QString err = QString::fromUtf8(p->readAllStandardError());
        EXPECT_EQ(p->exitCode(), c.status) << err.toStdString();
        const auto stop =
            QRegularExpression(
                QStringLiteral("Остановлено на записи (\\d+): считано (\\d+) из (\\d+)"))
                .match(err);
        ASSERT_TRUE(stop.hasMatch()) << err.toStdString();
        const qint64 last = stop.captured(1).toLongLong(), done = stop.captured(2).toLongLong();
        EXPECT_EQ(last, held.first + done - 1);
        EXPECT_EQ(stop.captured(3).toInt(), held.maxRec - held.first);

        auto series = SeriesLines();
        ASSERT_EQ(series.size(), 1u);
        ASSERT_EQ(series[0].size(), 8);
        EXPECT_EQ(series[0][5], QString::number(done));
        EXPECT_EQ(series[0][7], QStringLiteral("остановлено"));

        simulator->clearRequestLog();
        const QString continued = Out(name + QStringLiteral("-continued.txt"));
        Outcome r = Read(Reading(1, c.journal, continued) << QStringLiteral("--incremental"));
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        std::vector<int> expected{RequestIndex(j, int(last))};
        for (int n = int(last) + 1; n < held.maxRec; ++n)
            expected.push_back(RequestIndex(j, n));
        EXPECT_EQ(RecordRequests(), expected);
        const QString full = Out(name + QStringLiteral("-full.txt"));
        r = Read(WithoutArchive(Reading(1, c.journal, full)));
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_EQ(FileBytes(continued), FileBytes(full));
        series = SeriesLines();
        ASSERT_EQ(series.size(), 1u);
        EXPECT_EQ(series[0][5], QString::number(held.maxRec - held.first));
        EXPECT_EQ(series[0][7], QStringLiteral("завершено"));
        ExpectConsistent(*Open());
    }
}

// Two programs reading two instruments of one type into one archive at once: both series whole.
TEST_P(ArchiveRunTest, TwoReadersWritingAtOnce) {
    const TJournalInfo& j = *catalogue.ListDev[0]->journalAt(1); // a ring of 1000
    sim::Instrument other = Content(QStringLiteral("rt10"));
    Shift(other, 2, 0);
    Grow(other, j, false, 500);
    std::unique_ptr<sim::Simulator> second;
    Start(other);
    std::swap(second, simulator);
    const QByteArray secondPort = qgetenv("JOURNAL_PORTS");
    Start(Content(QStringLiteral("rt10")));
    QProcess* a = StartRead(Reading(1, 2, Out(QStringLiteral("a.txt"))));
    qputenv("JOURNAL_PORTS", secondPort);
    QProcess* b = StartRead(Reading(1, 2, Out(QStringLiteral("b.txt"))));
    for (QProcess* p : {a, b}) {
        ASSERT_TRUE(p->waitForFinished(120000));
        EXPECT_EQ(p->exitCode(), 0);
        EXPECT_FALSE(p->readAllStandardError().contains("Архив журналов"));
    }
    const auto lines = SeriesLines();
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& line : lines)
        EXPECT_EQ(line[5], QStringLiteral("1000"));
    ExpectConsistent(*Open());
}

// journal-read killed at random moments of a reading (every other one an incremental reading
// continuing a series): the archive opens and is consistent, and the next incremental reading
// completes the range, asking only for the records the archive lacks.
TEST_P(ArchiveRunTest, KilledReadingsLeaveAUsableArchive) {
    constexpr int kRecords = 600;
    sim::Instrument inst = Content(QStringLiteral("rt10"));
    auto& records = inst.journal(1)->records;
    records.clear();
    sim::Instrument::addSynthetic(*inst.journal(1), kRecords, {1, 2, 6, 7, 9});
    inst.setRegister(300001, kRecords);
    Start(inst);
    simulator->setPacing(115200); // a reading of about two seconds
    const QString reference = Out(QStringLiteral("reference.txt"));
    ASSERT_EQ(Read(WithoutArchive(Reading(1, 1, reference))).status, 0);
    QRandomGenerator random(20240607);
    for (int round = 0; round < 20; ++round) {
        const int delayMs = int(random.bounded(100, 2200));
        SCOPED_TRACE(testing::Message()
                     << "round " << round << ", killed after " << delayMs << " ms");
        NewArchive();
        QStringList killed = Reading(1, 1, Out(QStringLiteral("killed.txt")));
        if (round % 2 == 1) {
            ASSERT_EQ(Read(Reading(1, 1, Out(QStringLiteral("start.txt")))
                           << QStringLiteral("--start") << QStringLiteral("0")
                           << QStringLiteral("--count") << QStringLiteral("100"))
                          .status,
                      0);
            killed << QStringLiteral("--incremental");
        }
        QProcess* p = StartRead(killed);
        QThread::msleep(delayMs);
        KillIfRunning(*p);
        ASSERT_TRUE(p->waitForFinished(10000));

        qint64 answered = 0;
        {
            auto archive = Open();
            ASSERT_TRUE(archive->isOpen());
            ExpectConsistent(*archive);
            const auto series = archive->ListSeries();
            ASSERT_TRUE(series);
            for (const auto& s : *series)
                answered = std::max(answered, s.records - s.failed);
        }
        simulator->clearRequestLog();
        const QString completed = Out(QStringLiteral("completed.txt"));
        const Outcome r = Read(Reading(1, 1, completed) << QStringLiteral("--incremental"));
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_EQ(FileBytes(completed), FileBytes(reference));
        if (answered > 0) {
            EXPECT_TRUE(r.err.contains(QStringLiteral("Дочитано"))) << r.err.toStdString();
            // A retry under load repeats a request: count the records asked for.
            const std::vector<int> asked = RecordRequests();
            EXPECT_EQ(std::set<int>(asked.begin(), asked.end()).size(),
                      std::size_t(1 + kRecords - answered));
        }
        ExpectConsistent(*Open());
    }
}

// Commands that only read open the archive to read: a read-only archive (a file of mode 0444 in a
// read-only folder, for an unprivileged user) is listed and exported; at a mistyped path they say
// that there is no archive and make nothing; --incremental with an archive that cannot be opened
// says so and reads the journal in full.
class ArchiveAccessTest : public ArchiveRunTest {};

TEST_P(ArchiveAccessTest, ReadOnlyAndMissingArchives) {
    Start(Content(QStringLiteral("rt10")));
    ASSERT_EQ(Read(Reading(1, 1, Out(QStringLiteral("first.txt")))).status, 0);
    const QDir dir(m_dir.path());
    ASSERT_TRUE(dir.mkdir(QStringLiteral("ro")) && dir.mkdir(QStringLiteral("out")));
    const QString readOnly = Out(QStringLiteral("ro/archive.sqlite"));
    ASSERT_TRUE(QFile::rename(m_url, readOnly));
    ASSERT_EQ(::chmod(QFile::encodeName(readOnly).constData(), 0444), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(Out(QStringLiteral("ro"))).constData(), 0555), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(Out(QStringLiteral("out"))).constData(), 0777), 0);
    ASSERT_TRUE(ReadOnlyForOthers(m_dir.path()));
    const QStringList list{QStringLiteral("--archive-list")};
    const QStringList stored{QStringLiteral("--from-archive"), QStringLiteral("1"),
                             QStringLiteral("--output"), Out(QStringLiteral("out/stored.txt"))};
    const struct {
        const char* name;
        QString url;
        QStringList command; // after --catalogue and --archive; empty: an incremental reading
        int status;
        const char* says; // on standard output or error
    } cases[] = {
        {"read-only: list", readOnly, list, 0, "\tРегулятор РТ-10\t1\t0\t13\t14\t"},
        {"read-only: a stored series", readOnly, stored, 0, "Записей: 14, файл"},
        {"a mistyped folder: list", Out(QStringLiteral("no/such/x.sqlite")), list, 1,
         "архива по этому адресу нет"},
        {"a Windows path: a stored series", QStringLiteral("C:/x.sqlite"), stored, 1,
         "архива по этому адресу нет"},
        {"not an archive (a text file): an incremental reading",
         Out(QStringLiteral("first.txt")),
         {},
         0,
         "Не удалось открыть архив: журнал считан полностью\n.*не является архивом журналов"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList arguments{QStringLiteral("--catalogue"), m_catalogue,
                              QStringLiteral("--archive"), c.url};
        arguments += c.command.isEmpty() ? Reading(1, 1, Out(QStringLiteral("out/read.txt"))).mid(2)
                                               << QStringLiteral("--incremental")
                                               << QStringLiteral("--archive") << c.url
                                         : c.command;
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        // Root may write anything: the read-only archive is read as another user.
        QStringList command =
            QStringList{QStringLiteral(JOURNAL_BIN_DIR "/journal-read")} + arguments;
        if (c.url == readOnly)
            command = UnprivilegedCommand(command.takeFirst(), command);
        p.start(command.takeFirst(), command);
        ASSERT_TRUE(p.waitForFinished(60000));
        const QString text =
            QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
        EXPECT_EQ(p.exitCode(), c.status) << text.toStdString();
        EXPECT_TRUE(text.contains(QRegularExpression(
            QString::fromUtf8(c.says), QRegularExpression::DotMatchesEverythingOption)))
            << text.toStdString();
        EXPECT_FALSE(text.contains(QStringLiteral("Прибор не совпал"))) << text.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(Out(QStringLiteral("no"))));
    EXPECT_FALSE(QFileInfo::exists(Out(QStringLiteral("C:"))));
    // The "Архив" tab neither: it says that there is no archive yet.
    core::TArchiveBrowser browser(Out(QStringLiteral("no/such/x.sqlite")));
    core::TStringGrid grid(2, 1);
    EXPECT_TRUE(browser.FillSeries(grid));
    EXPECT_TRUE(browser.stateText().contains(QStringLiteral("архива пока нет")));
    EXPECT_FALSE(QFileInfo::exists(Out(QStringLiteral("no"))));
    ::chmod(QFile::encodeName(Out(QStringLiteral("ro"))).constData(), 0755);
}

// The server's backend of journal-read's connection frozen (SIGSTOP) in the middle of a reading:
// the reading ends and its file is written, one message says that the archive did not confirm
// the last records, and a stop signal ends the program within 2 s whatever the archive does.
class ArchiveFreezeTest : public ArchiveRunTest {};

TEST_P(ArchiveFreezeTest, FrozenServerNeverHoldsTheReading) {
    constexpr int kRecords = 1200;
    sim::Instrument inst = Content(QStringLiteral("rt10"));
    inst.journal(1)->records.clear();
    sim::Instrument::addSynthetic(*inst.journal(1), kRecords, {1, 2, 6, 7, 9});
    inst.setRegister(300001, kRecords);
    Start(inst);
    simulator->setPacing(115200); // a reading of about four seconds
    const struct {
        const char* name;
        int signal; // sent once the backend is frozen; 0: none
        int status;
        qint64 withinMs; // from the freeze, or from the signal
    } cases[] = {
        {"the reading ends by itself", 0, 0, 25000},
        {"SIGTERM", SIGTERM, 143, 2000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NewArchive();
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("watch"));
        db.setHostName(m_server->socketFolder());
        db.setUserName(QStringLiteral("journal"));
        db.setDatabaseName(m_url.section(QLatin1Char('/'), 3).section(QLatin1Char('?'), 0, 0));
        ASSERT_TRUE(db.open());
        QSqlQuery query(db);
        const auto scalar = [&](const char* sql) {
            return query.exec(QString::fromLatin1(sql)) && query.next() ? query.value(0).toInt()
                                                                        : 0;
        };
        const QString file = Out(QStringLiteral("frozen.txt"));
        QFile::remove(file);
        QProcess* p = StartRead(Reading(1, 1, file));
        ASSERT_TRUE(WaitUntil([&] {
            return scalar("SELECT COUNT(*) FROM pg_tables WHERE tablename = 'records'") == 1 &&
                   scalar("SELECT COUNT(*) FROM records") > 0;
        }));
        const int backend = scalar("SELECT pid FROM pg_stat_activity WHERE backend_type ="
                                   " 'client backend' AND datname = current_database()"
                                   " AND pid <> pg_backend_pid()");
        ASSERT_GT(backend, 0);
        ASSERT_EQ(::kill(backend, SIGSTOP), 0);
        struct Resume {
            int pid;
            ~Resume() { ::kill(pid, SIGCONT); }
        } resume{backend};
        QElapsedTimer clock;
        clock.start();
        if (c.signal) {
            QThread::msleep(300);
            const pid_t reader = static_cast<pid_t>(p->processId());
            ASSERT_GT(reader, 0); // not 0: that would signal the test's whole process group
            ::kill(reader, c.signal);
            clock.start();
        }
        p->waitForFinished(30000);
        EXPECT_LE(clock.elapsed(), c.withinMs);
        const QString err = QString::fromUtf8(p->readAllStandardError());
        EXPECT_EQ(p->exitCode(), c.status) << err.toStdString();
        EXPECT_TRUE(QFile::exists(file));
        EXPECT_EQ(err.count(QStringLiteral("не подтвердил")), 1) << err.toStdString();
        EXPECT_FALSE(err.contains(QStringLiteral("Unable to free"))) << err.toStdString();
        query = QSqlQuery();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("watch"));
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, ArchiveRunTest, kEngines, EngineName);
INSTANTIATE_TEST_SUITE_P(Engines, ArchiveAccessTest, ::testing::Values(Engine::SQLite), EngineName);
INSTANTIATE_TEST_SUITE_P(Engines, ArchiveFreezeTest, ::testing::Values(Engine::PostgreSQL),
                         EngineName);

} // namespace
