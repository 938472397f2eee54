// SPDX-License-Identifier: MIT
// journal-read as a program against the simulated instrument on a pseudo-terminal: its files
// equal the window's for the same run, and its exit status and messages follow the window's
// decisions.
#include "app/gui/mainform.h"
#include "app/gui/savefilechooser.h"
#include "platform/codepage.h"
#include "platform/widgets/radiogroup.h"
#include "sim/simulator.h"
#include "tests/catalogueedit.h"
#include "tests/recordingsink.h"
#include "tests/simulatorfixture.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include "tests/fullfolder.h"
#include "tests/mainpage.h"
#include "tests/qstringprinter.h"
#include "tests/scriptedgateway.h"
#include "tests/unprivileged.h"
#include "tests/ziptestutil.h"

#include "accesslib/frames/mbapframe.h"
#include "accesslib/frames/rtuframe.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char** environ;

namespace {

constexpr int kCom = 7;
using Framing = platform::NetworkEndpoint::Framing;

class FixedChoice : public gui::ISaveFileChooser {
public:
    std::optional<TChoice> choose(QWidget*, const TChoice&) override { return choice; }
    TChoice choice;
};

struct Outcome {
    int status = -1;
    QString err;
    QString out;
};

class JournalRead : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        // A copy of the sample catalogue with the access library: the window's program folder
        // (it writes main.ini on exit) and journal-read's --catalogue.
        const QDir examples(JOURNAL_SOURCE_DIR "/examples");
        ASSERT_TRUE(QFile::copy(examples.filePath("main.ini"), dir.filePath("main.ini")));
        QDir().mkpath(dir.filePath("devices"));
        for (const QString& f : QDir(examples.filePath("devices")).entryList({"*.ini"}))
            ASSERT_TRUE(
                QFile::copy(examples.filePath("devices/" + f), dir.filePath("devices/" + f)));
        ASSERT_TRUE(QFile::copy(JOURNAL_BIN_DIR "/OmbrelDll.so", dir.filePath("OmbrelDll.so")));
        qunsetenv("JOURNAL_PORTS");
    }

    // The instrument of a content file on a pty (or on a loopback endpoint of `network`),
    // mapped to COMkCom in JOURNAL_PORTS.
    void startInstrument(const QString& content, int pacing = 0, const QStringList& faults = {},
                         int journal1Records = 0, std::optional<Framing> network = {}) {
        QString error;
        auto inst = fixture::ContentInstrument(content, &error);
        ASSERT_TRUE(inst) << error.toStdString();
        if (journal1Records > 0) {
            // Journal 1 (count in register 300001) made longer with generated records.
            sim::Journal* j = inst->journal(1);
            sim::Instrument::addSynthetic(*j, journal1Records - int(j->records.size()));
            inst->setRegister(300001, quint16(journal1Records));
        }
        fixture::SimulatorSetup setup{.com = kCom, .pacing = pacing};
        for (const QString& f : faults)
            setup.faults.append(*sim::parseFault(f));
        setup.network = network;
        simulator = fixture::StartSimulator(*inst, setup, &error);
        ASSERT_TRUE(simulator) << error.toStdString();
    }

    // Adds a line to the [Ports] section of the catalogue's main.ini.
    void addPortToMainIni(const QString& line) {
        ASSERT_TRUE(ReplaceInFile(dir.filePath("main.ini"), "[Ports]\r\n",
                                  "[Ports]\r\n" + line.toLatin1()));
    }

    // Device 7 of the catalogue, with values the program cannot use as they are: journal 1 of a
    // record layout it does not know, named with "%1"; journal 2 with archive number 257 (archive
    // 1 on the wire).
    void addHostileDevice() {
        ASSERT_TRUE(WriteWholeFile(
            dir.filePath("devices/hostile.ini"),
            "\xEF\xBB\xBF" + QStringLiteral("[settings]\r\nname=Чужой\r\narchtypecount=2\r\n"
                                            "ArchName1=Журнал %1 проц\r\nArchNum1=1\r\n"
                                            "ArchCountRec1=50\r\nArchStandart1=6\r\n"
                                            "ArchName2=Архив\r\nArchNum2=257\r\n"
                                            "ArchCountRec2=5\r\n")
                                 .toUtf8()));
        ASSERT_TRUE(ReplaceInFile(dir.filePath("main.ini"), "CountDev=6\r\n",
                                  "CountDev=7\r\nDev7=devices/hostile.ini\r\n"));
    }

    QStringList runArguments(const QString& device, int journal, const QString& output) const {
        return {"--catalogue", dir.path(),
                "--device",    device,
                "--journal",   QString::number(journal),
                "--port",      QStringLiteral("COM%1").arg(kCom),
                "--speed",     "19200",
                "--link",      "232",
                "--address",   "1",
                "--retries",   "1",
                "--timeout",   "500",
                "--output",    output};
    }

    // journal-read with `arguments` under `locale` (LANG; by default the Russian locale the
    // window's side of the tests is pinned to); standard output to `outputFile` when given; as an
    // unprivileged user when the tests run as root and `unprivileged` is set.
    static Outcome run(const QStringList& arguments, const QString& outputFile = {},
                       bool unprivileged = false, const QString& locale = "ru_RU.UTF-8") {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"LC_ALL", "LC_TIME", "LC_NUMERIC", "LC_MESSAGES", "LANGUAGE"})
            env.remove(name);
        env.insert("LANG", locale);
        p.setProcessEnvironment(env);
        if (!outputFile.isEmpty())
            p.setStandardOutputFile(outputFile);
        QStringList command = QStringList{JOURNAL_BIN_DIR "/journal-read"} + arguments;
        if (unprivileged)
            command = UnprivilegedCommand(command.takeFirst(), command);
        p.start(command.takeFirst(), command);
        EXPECT_TRUE(p.waitForFinished(60000));
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                QString::fromUtf8(p.readAllStandardError()),
                QString::fromUtf8(p.readAllStandardOutput())};
    }

    // The window's file for the same choices: "Считать", then "Сохранить..." into `file`.
    void windowExport(int deviceIndex, int journalIndex, const QString& file, int filterIndex,
                      const QString& port = QStringLiteral("COM%1").arg(kCom)) {
        FixedChoice chooser;
        chooser.choice = {file, filterIndex};
        RecordingSink sink;
        gui::TForm1Options o;
        o.programDirectory = dir.path();
        o.messages = &sink;
        o.saveDialog = &chooser;
        TForm1 form(std::move(o));
        const TMainPage page(form);
        page.cbxDev()->setCurrentIndex(deviceIndex);
        page.rgTypeJ()->setItemIndex(journalIndex);
        page.cbxPort()->setEditText(port);
        page.cbxSpeed()->setCurrentIndex(4); // 19200
        page.EdtAddr()->setText("1");
        form.btnRead2Click();
        while (form.runActive())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        form.BtnExcelClick();
        EXPECT_TRUE(sink.messages.isEmpty()) << sink.messages.join('\n').toStdString();
    }

    QTemporaryDir dir;
    QTemporaryDir out;
    std::unique_ptr<sim::Simulator> simulator;
};

// A fixed-layout, a text and a ring journal, as text, as workbook and as CSV: the same bytes (the
// same sheet, strings and styles) as the window's "Сохранить...". The text and the CSV file
// written to standard output (--output - --format) are the same bytes again.
TEST_F(JournalRead, FilesEqualTheWindowsFiles) {
    const struct {
        const char* content;
        const char* device; // as given to --device
        int deviceIndex;
        int journal;
        const char* extension;
        int lines; // of the text file: device line and one per record
        // How journal-read reaches the port: 'e' COMn mapped in JOURNAL_PORTS, 'p' the device
        // path, 'i' COMn mapped in the catalogue's main.ini [Ports].
        char port;
    } cases[] = {
        {"rt10", "Регулятор РТ-10", 0, 1, "txt", 15, 'e'},
        {"rt10", "1", 0, 1, "xlsx", 0, 'e'},
        {"marlo", "5", 4, 1, "txt", 6, 'p'},
        {"pr4", "Преобразователь ПР-4", 3, 1, "txt", 101, 'i'},
        {"pr4", "4", 3, 1, "xlsx", 0, 'e'},
        {"rt10", "1", 0, 1, "csv", 15, 'e'},
        {"marlo", "5", 4, 1, "csv", 6, 'e'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.content) + "." + c.extension);
        startInstrument(c.content);
        const QString cliFile =
            out.filePath(QStringLiteral("cli-%1.%2").arg(c.content, c.extension));
        const QString winFile =
            out.filePath(QStringLiteral("win-%1.%2").arg(c.content, c.extension));
        QStringList arguments = runArguments(QString::fromUtf8(c.device), c.journal, cliFile);
        const QByteArray mapping = qgetenv("JOURNAL_PORTS");
        if (c.port == 'p')
            arguments << "--port" << simulator->clientPath();
        if (c.port == 'i')
            addPortToMainIni(QStringLiteral("COM%1=%2\r\n").arg(kCom).arg(simulator->clientPath()));
        if (c.port != 'e')
            qunsetenv("JOURNAL_PORTS");
        const Outcome r = run(arguments);
        qputenv("JOURNAL_PORTS", mapping);
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        const bool spreadsheet = QByteArray(c.extension) == "xlsx";
        const bool csv = QByteArray(c.extension) == "csv";
        windowExport(c.deviceIndex, c.journal - 1, winFile, spreadsheet ? 2 : csv ? 3 : 1);

        if (spreadsheet) {
            for (const char* member :
                 {"xl/worksheets/sheet1.xml", "xl/sharedStrings.xml", "xl/styles.xml"}) {
                const QByteArray cli = ZipEntry(cliFile, member);
                EXPECT_FALSE(cli.isEmpty()) << member;
                EXPECT_EQ(cli, ZipEntry(winFile, member)) << member;
            }
        } else {
            const QByteArray cli = ReadWholeFile(cliFile);
            EXPECT_EQ(cli.count("\r\n"), c.lines);
            EXPECT_FALSE(cli.contains(csv ? QByteArray("Ошибка (")
                                          : platform::toCp1251(QStringLiteral("Ошибка"))))
                << "no failed records expected";
            EXPECT_EQ(cli, ReadWholeFile(winFile));
            const QString piped = out.filePath(QStringLiteral("piped.%1").arg(c.extension));
            arguments.replace(arguments.indexOf(cliFile), QStringLiteral("-"));
            const Outcome p =
                run(arguments << "--format" << QString::fromLatin1(c.extension), piped);
            EXPECT_EQ(p.status, 0) << p.err.toStdString();
            EXPECT_EQ(ReadWholeFile(piped), cli);
        }
        simulator.reset();
    }
}

// An instrument behind a gateway, over Modbus TCP and over RTU frames on TCP, reached through
// every way of naming a port (the endpoint itself, a COMn mapped in JOURNAL_PORTS or main.ini,
// the window's port box): the file is the one read over the pseudo-terminal, byte for byte.
TEST_F(JournalRead, EndpointsReadTheFileOfThePty) {
    const QString device = QStringLiteral("Преобразователь ПР-4");
    startInstrument("pr4");
    const QString ptyFile = out.filePath("pty.txt");
    Outcome r = run(runArguments(device, 1, ptyFile));
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QByteArray expected = ReadWholeFile(ptyFile);
    ASSERT_EQ(expected.count("\r\n"), 101);
    const struct {
        Framing framing;
        char port; // 'd' the endpoint as --port, 'e' JOURNAL_PORTS, 'i' main.ini, 'w' the window
    } cases[] = {{Framing::ModbusTcp, 'd'}, {Framing::RtuOverTcp, 'd'},
                 {Framing::ModbusTcp, 'e'}, {Framing::RtuOverTcp, 'i'},
                 {Framing::ModbusTcp, 'w'}, {Framing::RtuOverTcp, 'w'}};
    int n = 0;
    for (const auto& c : cases) {
        startInstrument("pr4", 0, {}, 0, c.framing);
        const QString endpoint = simulator->clientPath();
        SCOPED_TRACE(endpoint.toStdString() + " " + c.port);
        const QString file = out.filePath(QStringLiteral("net-%1.txt").arg(++n));
        if (c.port == 'w') {
            qunsetenv("JOURNAL_PORTS");
            windowExport(3, 0, file, 1, endpoint);
        } else {
            QStringList arguments = runArguments(device, 1, file);
            if (c.port == 'd')
                arguments << "--port" << endpoint;
            if (c.port == 'i') {
                addPortToMainIni(QStringLiteral("COM%1=%2\r\n").arg(kCom).arg(endpoint));
                qunsetenv("JOURNAL_PORTS");
            }
            r = run(arguments);
            EXPECT_EQ(r.status, 0) << r.err.toStdString();
        }
        EXPECT_EQ(ReadWholeFile(file), expected);
        simulator.reset();
    }
}

// The instrument's gateway goes away in the middle of a run: the run ends (no hang) with the
// records read so far and rows of failed ones, as when a serial port goes.
TEST_F(JournalRead, GatewayThatGoesAwayEndsTheRun) {
    for (const Framing framing : {Framing::ModbusTcp, Framing::RtuOverTcp}) {
        startInstrument("rt10", 0, {}, 600, framing);
        SCOPED_TRACE(simulator->clientPath().toStdString());
        const QString file = out.filePath(QStringLiteral("gone-%1.txt").arg(int(framing)));
        QProcess p;
        p.start(JOURNAL_BIN_DIR "/journal-read", runArguments("1", 1, file));
        ASSERT_TRUE(p.waitForStarted(10000));
        QElapsedTimer t;
        t.start();
        while (simulator->requestCount() < 100 && t.elapsed() < 30000 &&
               p.state() == QProcess::Running)
            QThread::msleep(2);
        ASSERT_GE(simulator->requestCount(), 100);
        simulator.reset(); // the listening socket and the connection close: reopening is refused
        ASSERT_TRUE(p.waitForFinished(30000));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_LT(t.elapsed(), 30000);
        const QByteArray text = ReadWholeFile(file);
        EXPECT_GE(text.count("\r\n"), 100) << err.toStdString();
        EXPECT_TRUE(err.contains(QStringLiteral("с ошибкой"))) << err.toStdString();
    }
}

// Runs the window refuses, and a failed count read: status 1, the window's text, no file.
TEST_F(JournalRead, RefusedRunsWriteNoFile) {
    startInstrument("rt10", 0, {"exception register=300002 code=1"});
    const QString file = out.filePath("refused.txt");
    QTcpServer probe; // a loopback port that nobody listens on once the probe has closed
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const QString refusedEndpoint = QStringLiteral("tcp://127.0.0.1:%1").arg(probe.serverPort());
    probe.close();
    const struct {
        QStringList arguments;
        const char* message;
        const char* absent = nullptr; // a text that must not be there
    } cases[] = {
        {runArguments("1", 1, file) + QStringList{"--port", "COM250"},
         "Ошибка открытия СОМ-порта.\nПорта COM250 нет"},
        {runArguments("1", 1, file) + QStringList{"--port", "/dev/journal-no-such-port"},
         "Устройство /dev/journal-no-such-port не найдено."},
        {runArguments("1", 1, file) + QStringList{"--port", refusedEndpoint},
         "Соединение с tcp://127.0.0.1:", "СОМ-порта"},
        {runArguments("1", 1, file) + QStringList{"--port", "rtu+tcp://127.0.0.1"},
         "для rtu+tcp:// нужен номер порта"},
        {runArguments("1", 1, file) + QStringList{"--start", "20", "--count", "5"},
         "Стартовый индекс больше количества записей"},
        {runArguments("1", 2, file), "Ошибка (Функция не поддерживается прибором)"},
        {runArguments("1", 1, file) +
             QStringList{"--start", "-2147483647", "--count", "2147483647"},
         "Запись -2147483647 не может быть запрошена: номера записей — от 0 до 65535."},
        {runArguments("7", 1, file), "У журнала 1 прибора «Чужой» неизвестный формат записей "
                                     "(ArchStandart1=6)."},
    };
    addHostileDevice();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const Outcome r = run(c.arguments);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.message))) << r.err.toStdString();
        if (c.absent) {
            EXPECT_FALSE(r.err.contains(QString::fromUtf8(c.absent))) << r.err.toStdString();
        }
        EXPECT_FALSE(QFile::exists(file));
    }
}

// A wrong command line: status 2 and one Russian line with a pointer to --help, before anything
// is opened.
TEST_F(JournalRead, WrongCommandLines) {
    const QString file = out.filePath("x.txt");
    const QStringList good = runArguments("1", 1, file);
    QDir(dir.path()).mkdir("empty");
    const struct {
        QStringList arguments;
        const char* reason;
    } cases[] = {
        {{}, "не указан --device"},
        {{"--bogus"}, "неизвестный параметр «--bogus»"},
        {QStringList(good).replaceInStrings(QRegularExpression("^1$"), "x"), "ожидается"},
        {good + QStringList{"--journal", "0"}, "номер журнала от 1"},
        {good + QStringList{"--journal", "3"}, "нет журнала 3 (журналов: 2)"},
        {good + QStringList{"--device", "Нет такого"}, "прибора «Нет такого» нет в каталоге"},
        {good + QStringList{"--device", "Нет %1"}, "прибора «Нет %1» нет в каталоге"},
        {good + QStringList{"--device", "7"}, "(приборов: 6, см. --list)"},
        {good + QStringList{"--link", "422"}, "232 или 485"},
        {good + QStringList{"--speed", "14400"}, "одна из скоростей 1200, 2400, 4800, 9600"},
        {good + QStringList{"--address", "300"}, "адрес от 1 до 247"},
        {good + QStringList{"--timeout", "5"}, "время ожидания от 10 до 60000 мс"},
        {good + QStringList{"--tcp-window", "17"}, "«17» — ожидается auto или число от 1 до 16"},
        {good + QStringList{"--start", "3"}, "--start и --count задаются вместе"},
        {good + QStringList{"--output", out.filePath("x.dat")}, "*.txt, *.csv или *.xlsx"},
        {good + QStringList{"--output", "-"}, "укажите --format txt, csv или xlsx"},
        {good + QStringList{"--format", "csv"}, "--format csv не совпадает с именем файла"},
        {good + QStringList{"--format", "pdf"}, "txt, csv или xlsx"},
        {good + QStringList{"--speed"}, "у --speed нет значения"},
        {good + QStringList{"--all"}, "--all и --addresses задаются только с --search"},
        {good + QStringList{"--search"}, "--search не сочетается с --list, --output"},
        {{"--search", "--port", "COM7", "--trace", file}, "--search не сочетается с --list"},
        {{"--search", "--port", "COM7", "--addresses", "9-3"}, "диапазон адресов A-B"},
        {{"--search", "--port", "COM7", "--device", "1"}, "--device и --journal задаются вместе"},
        {good + QStringList{"--trace", out.filePath("no/such/t.txt")}, "--trace: файл"},
        {good + QStringList{"--list=1"}, "--list не принимает значения"},
        {{"--list", "--device", "1"}, "--list сочетается только с --catalogue"},
        {{"--catalogue", out.filePath("none"), "--list"}, "не папка"},
        {{"--catalogue", dir.filePath("empty"), "--list"}, "нет main.ini"},
        {good + QStringList{"--archive", "ftp://host/a"}, "неизвестный вид архива ftp"},
        {good + QStringList{"--incremental", "--no-archive"}, "--no-archive не сочетается"},
        {{"--archive-list", "--device", "1"}, "--archive-list сочетается только с"},
        {{"--from-archive", "0", "--output", file}, "номер серии архива"},
        {{"--from-archive", "2", "--port", "COM1", "--output", file}, "--from-archive не"},
        {{"--from-archive", "2"}, "не указан --output"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const Outcome r = run(c.arguments);
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.reason))) << r.err.toStdString();
        EXPECT_TRUE(r.err.endsWith("; см. --help\n")) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    }
    EXPECT_FALSE(QFile::exists(file));
}

// --help names every speed and output extension, --version the window's version.
TEST_F(JournalRead, HelpAndVersion) {
    Outcome r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* s : {"Использование:", "1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200",
                          "*.txt", "*.xlsx", "--version", "--catalogue ПАПКА"})
        EXPECT_TRUE(r.out.contains(QString::fromUtf8(s))) << s;
    r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              QStringLiteral("journal-read, версия ПО %1\n").arg(core::ProgramVersionText()));
}

// The sample text journal gives the same file under the C and English locales as under the
// Russian one (the mode journal, whose times follow the locale, under C).
TEST_F(JournalRead, SameFilesUnderOtherLocales) {
    startInstrument("marlo");
    const struct {
        int journal;
        const char* extension;
        const char* locale;
    } cases[] = {{1, "txt", "C.UTF-8"},  {1, "txt", "en_US.UTF-8"}, {1, "xlsx", "en_US.UTF-8"},
                 {1, "xlsx", "C.UTF-8"}, {2, "txt", "C.UTF-8"},     {2, "txt", "POSIX"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.locale) + " " + c.extension + " " + std::to_string(c.journal));
        const auto name = [&](const char* locale) {
            return out.filePath(
                QStringLiteral("%1-%2.%3").arg(locale).arg(c.journal).arg(c.extension));
        };
        for (const char* locale : {"ru_RU.UTF-8", c.locale}) {
            const Outcome r = run(runArguments("5", c.journal, name(locale)), {}, false, locale);
            EXPECT_EQ(r.status, 0) << r.err.toStdString();
            EXPECT_FALSE(r.err.contains("не распознано")) << r.err.toStdString();
        }
        if (QByteArray(c.extension) == "xlsx")
            EXPECT_EQ(ZipEntry(name(c.locale), "xl/worksheets/sheet1.xml"),
                      ZipEntry(name("ru_RU.UTF-8"), "xl/worksheets/sheet1.xml"));
        else
            EXPECT_EQ(ReadWholeFile(name(c.locale)), ReadWholeFile(name("ru_RU.UTF-8")));
    }
}

TEST_F(JournalRead, ListsDevicesAndJournals) {
    addHostileDevice();
    const Outcome r = run({"--catalogue", dir.path(), "--list"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0], QStringLiteral("1\tРегулятор РТ-10"));
    EXPECT_EQ(lines[1], QStringLiteral("1.1\tЖурнал событий (1000)"));
    EXPECT_EQ(lines[2], QStringLiteral("1.2\tКольцевой журнал (1000)"));
    EXPECT_EQ(lines.filter(QRegularExpression("^\\d+\\t")).size(), 7);
    EXPECT_TRUE(lines.contains(QStringLiteral("7.1\tЖурнал %1 проц (50)")));
    EXPECT_TRUE(lines.contains(QStringLiteral("7.2\tАрхив (5) — архив 1")));
}

// Ctrl-C, SIGTERM and SIGHUP after 300 records: the run stops like "Остановить", the records
// read so far are written, and the status tells the signal (128 + its number).
TEST_F(JournalRead, SignalsWriteTheRecordsReadSoFar) {
    startInstrument("rt10", 115200, {}, 1200);
    const struct {
        int signal;
        int status;
    } cases[] = {{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signal);
        const QString file = out.filePath(QStringLiteral("stopped-%1.txt").arg(c.signal));
        const int before = simulator->requestCount();
        QProcess p;
        p.start(JOURNAL_BIN_DIR "/journal-read", runArguments("1", 1, file));
        ASSERT_TRUE(p.waitForStarted(10000));
        // The count register and 300 records.
        QElapsedTimer t;
        t.start();
        while (simulator->requestCount() - before < 301 && t.elapsed() < 30000 &&
               p.state() == QProcess::Running)
            QThread::msleep(2);
        ASSERT_GE(simulator->requestCount() - before, 301);
        ASSERT_GT(p.processId(), 0); // kill(0) would signal the test's own process group
        ::kill(static_cast<pid_t>(p.processId()), c.signal);
        ASSERT_TRUE(p.waitForFinished(20000));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), c.status) << err.toStdString();

        const QByteArray text = ReadWholeFile(file);
        const int records = int(text.count("\r\n")) - 1;
        EXPECT_GE(records, 300);
        EXPECT_LT(records, 1200);
        EXPECT_TRUE(text.startsWith("\xcf\xf0\xe8\xe1\xee\xf0:")); // "Прибор:" in windows-1251
        EXPECT_FALSE(text.contains("\xce\xf8\xe8\xe1\xea\xe0"));   // no "Ошибка" row
        EXPECT_TRUE(err.contains(QStringLiteral("Записей: %1,").arg(records))) << err.toStdString();
    }
}

// An output file that cannot be written is found before anything is sent to the instrument:
// status 2 and a message naming the file.
TEST_F(JournalRead, UnwritableOutputStopsBeforeConnecting) {
    startInstrument("rt10");
    QDir(out.path()).mkdir("folder.txt");
    QDir(out.path()).mkdir("read-only");
    // For the unprivileged user: the catalogue readable, the folder not writable.
    for (const QString& folder : {dir.path(), out.path(), out.filePath("read-only")})
        ASSERT_TRUE(ReadOnlyForOthers(folder));
    const struct {
        const char* name;
        const char* reason;
        bool unprivileged;
    } cases[] = {
        {"missing/journal.txt", "нет такой папки", false},
        {"folder.txt", "на месте файла папка", false},
        {"read-only/journal.txt", "нет прав на запись", true},
        {"journal.xls", "укажите имя .xlsx", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString file = out.filePath(c.name);
        const Outcome r = run(runArguments("1", 1, file), {}, c.unprivileged);
        EXPECT_EQ(r.status, 2) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.reason))) << r.err.toStdString();
        if (!QString(c.name).endsWith(".xls")) {
            EXPECT_TRUE(r.err.contains(file)) << r.err.toStdString();
        }
        EXPECT_EQ(simulator->requestCount(), 0);
    }
    EXPECT_TRUE(QFileInfo(out.filePath("folder.txt")).isDir());
}

// 1,200 records read into a full disk: status 1, one line naming the file and the reason, the
// old file untouched and nothing else left. Without a tmpfs (not root) the file is a link to
// /dev/full.
TEST_F(JournalRead, FullDiskKeepsTheOldFile) {
    startInstrument("rt10", 0, {}, 1200);
    const QByteArray old = "the old journal\r\n";
    FullFolder full({{"journal.txt", old}});
    QString file = full.filePath("journal.txt");
    if (!full.mounted()) {
        file = out.filePath("full.txt");
        ASSERT_TRUE(QFile::link("/dev/full", file));
    }
    const Outcome r = run(runArguments("1", 1, file));
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    const QStringList lines = r.err.split('\n').filter(file);
    ASSERT_EQ(lines.size(), 1) << r.err.toStdString();
    EXPECT_TRUE(lines[0].contains(QString::fromUtf8("нет места на диске"))) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("1200/1200")) << r.err.toStdString();
    if (full.mounted()) {
        EXPECT_EQ(ReadWholeFile(file), old);
        EXPECT_EQ(full.entries(), QStringList{"journal.txt"});
    }
}

// Records that failed are counted apart from the records read.
TEST_F(JournalRead, CountsFailedRecordsApart) {
    startInstrument("rt10", 0, {"exception record=1:3 code=4"});
    const QString file = out.filePath("faulty.txt");
    Outcome r = run(runArguments("1", 1, file));
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QString::fromUtf8("Записей: 13, с ошибкой: 1, файл ")))
        << r.err.toStdString();
}

// Every command that prints on standard output, and a trace file, on a full disk (/dev/full):
// status 1 and a Russian message; a reading's own file is still written.
TEST_F(JournalRead, FullStandardOutputOrTraceFileIsAnError) {
    startInstrument("rt10");
    const QString archive = "--archive=" + out.filePath("archive.sqlite");
    const QString journal = out.filePath("journal.txt");
    ASSERT_EQ(run(runArguments("1", 1, journal) << archive).status, 0);
    const QString fullTrace = out.filePath("trace.txt");
    ASSERT_TRUE(QFile::link("/dev/full", fullTrace));
    ASSERT_TRUE(QFile::remove(journal));
    const struct {
        const char* name;
        QStringList arguments;
        const char* names; // the file the message names; nullptr: standard output
    } cases[] = {
        {"--list", {"--catalogue", dir.path(), "--list"}, nullptr},
        {"--help", {"--help"}, nullptr},
        {"--version", {"--version"}, nullptr},
        {"--archive-list", {"--catalogue", dir.path(), archive, "--archive-list"}, nullptr},
        {"--search",
         {"--catalogue", dir.path(), "--search", "--port", QStringLiteral("COM%1").arg(kCom),
          "--speed", "19200", "--link", "232", "--device", "1", "--journal", "1", "--addresses",
          "1-1"},
         nullptr},
        {"--trace",
         runArguments("1", 1, journal) << "--no-archive"
                                       << "--trace" << fullTrace,
         "trace.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome r = run(c.arguments, c.names ? QString() : QStringLiteral("/dev/full"));
        EXPECT_EQ(r.status, 1) << r.err.toStdString();
        const QString names = c.names ? out.filePath(c.names) : QStringLiteral("стандартный вывод");
        const QStringList lines = r.err.split('\n').filter(names);
        ASSERT_EQ(lines.size(), 1) << r.err.toStdString();
        EXPECT_TRUE(lines[0].contains(QString::fromUtf8("нет места на диске")))
            << r.err.toStdString();
    }
    EXPECT_TRUE(ReadWholeFile(journal).startsWith("\xcf\xf0\xe8\xe1\xee\xf0:")); // "Прибор:"
}

} // namespace

namespace {

// What is wrong on the line, and what the diagnosis must say about it.
struct LineCase {
    const char* name;
    QStringList faults;
    enum { Plain, Echo, SlowInstrument } link = Plain;
    int status;
    const char* phrase;
    // A record's trace line and the list of failed records under the diagnosis, if any.
    const char* recordLine = nullptr;
    const char* failed = nullptr;
};

} // namespace

// The diagnosis names each fault of the line on standard error; the trace file holds a line for
// every frame.
TEST_F(JournalRead, DiagnosisNamesTheFaultOfTheLine) {
    const LineCase cases[] = {
        {"silent instrument", {"noanswer"}, LineCase::Plain, 1, "не пришло ни одного байта"},
        {"damaged answers", {"crc"}, LineCase::Plain, 1, "приходят искажёнными"},
        {"another address", {"address bytes=5"}, LineCase::Plain, 1, "Укажите адрес прибора 5"},
        {"late answers", {"delay ms=1200"}, LineCase::Plain, 1, "позже времени ожидания"},
        {"refused record",
         {"exception code=2 record=1:3"},
         LineCase::Plain,
         0,
         "Прибор отвергает запрос: исключение 2",
         "исключение 2 (Ошибочный адрес): адрес 1, функция 65, принят, ",
         "Сбойные записи (1): 3"},
        {"stray bytes", {"garbage bytes=3"}, LineCase::Plain, 0, "лишние байты"},
        {"echo", {}, LineCase::Echo, 0, "Запрос возвращается эхом"},
        {"speed mismatch", {}, LineCase::SlowInstrument, 1, "адрес и скорость должны совпадать"},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        simulator.reset();
        startInstrument("rt10", 0, c.faults);
        if (c.link == LineCase::Echo)
            simulator->link()->setEcho(true);
        if (c.link == LineCase::SlowInstrument)
            simulator->link()->setLineSpeed(9600); // the reader asks at 19,200
        const QString trace = out.filePath("trace.txt");
        const Outcome r =
            run(runArguments("1", 1, out.filePath("j.txt")) + QStringList{"--trace", trace});
        EXPECT_EQ(r.status, c.status) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("Вероятная причина: ")) &&
                    r.err.contains(QString::fromUtf8(c.phrase)))
            << r.err.toStdString();
        QFile f(trace);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(f.readAll());
        EXPECT_TRUE(text.contains(QStringLiteral("→  01 04 00 00 00 01 31 CA  запрос: адрес 1, "
                                                 "функция 4")))
            << text.left(400).toStdString();
        if (c.recordLine) { // the frames of a record name it
            EXPECT_TRUE(text.contains(
                QRegularExpression(QRegularExpression::escape(QString::fromUtf8(c.recordLine)) +
                                   ".* мс; запись 3\\n")))
                << text.toStdString();
        }
        if (c.failed) {
            EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.failed))) << r.err.toStdString();
        }
    }
}

// --search finds the instrument at another address and speed, says when nothing answers within
// the bound it announced, and stops at once on Ctrl-C.
TEST_F(JournalRead, SearchFindsTheInstrumentOrSaysItIsNotThere) {
    QString error;
    auto inst = sim::Instrument::fromFile(JOURNAL_SOURCE_DIR "/sim/content/rt10.sim", &error);
    ASSERT_TRUE(inst) << error.toStdString();
    inst->address = 17;
    simulator = std::make_unique<sim::Simulator>(*inst);
    simulator->setBaudRate(9600);
    ASSERT_TRUE(simulator->start(&error)) << error.toStdString();
    simulator->link()->setLineSpeed(9600);
    qputenv("JOURNAL_PORTS",
            QStringLiteral("COM%1=%2").arg(kCom).arg(simulator->clientPath()).toUtf8());
    const QStringList search{"--catalogue", dir.path(),  "--search", "--port", "COM7",
                             "--speed",     "19200",     "--link",   "232",    "--device",
                             "1",           "--journal", "1"};
    // From 19,200 baud and address 1: 19,200, 1,200, 2,400 and 4,800 baud are tried in vain.
    Outcome r = run(search + QStringList{"--addresses", "1-20"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("Прибор найден: адрес 17, скорость 9600\n"));

    // Nothing at addresses 1..16 at any speed: within the bound announced on standard error.
    QElapsedTimer t;
    t.start();
    r = run(search + QStringList{"--addresses", "1-16", "--all"});
    const qint64 ms = t.elapsed();
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("Прибор не найден\n"));
    const auto bound = QRegularExpression(QStringLiteral("не дольше (\\d+) с")).match(r.err);
    ASSERT_TRUE(bound.hasMatch()) << r.err.toStdString();
    EXPECT_LT(ms, bound.captured(1).toInt() * 1000 + 1000); // and the program's start

    QProcess p;
    p.start(JOURNAL_BIN_DIR "/journal-read", search + QStringList{"--addresses", "1-16"});
    ASSERT_TRUE(p.waitForStarted(10000));
    QThread::msleep(700);
    t.restart();
    ASSERT_GT(p.processId(), 0);
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitCode(), 130);
    EXPECT_LT(t.elapsed(), 1000);
}

namespace {

// journal-read with `arguments`, standard error into `errFile`: its exit status and its peak
// resident memory in KiB (of that process alone, as its parent sees it).
std::pair<int, long> RunMeasuringPeak(const QStringList& arguments, const QString& errFile) {
    std::vector<QByteArray> words{JOURNAL_BIN_DIR "/journal-read"};
    for (const QString& a : arguments)
        words.push_back(a.toUtf8());
    std::vector<char*> argv;
    for (QByteArray& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, QFile::encodeName(errFile).constData(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0)
        return {-1, 0};
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status))
        return {-1, 0};
    return {WEXITSTATUS(status), usage.ru_maxrss};
}

} // namespace

// A gateway that sends 4 MiB of noise after each answer, over Modbus TCP and as RTU frames on
// TCP: journal-read's memory stays bounded (its read buffer, a bounded prefix of what each try
// received), and so do the trace's lines and the diagnosis with its sample frames.
TEST_F(JournalRead, HostileGatewayCostsBoundedMemoryAndText) {
    QByteArray noise(4 << 20, Qt::Uninitialized);
    std::mt19937 random(24);
    for (char& c : noise)
        c = char(random());
    for (const Framing framing : {Framing::ModbusTcp, Framing::RtuOverTcp}) {
        const bool mbap = framing == Framing::ModbusTcp;
        // The count register of journal 1 holds 8; every record is the same.
        fixture::ScriptedGateway gateway(
            [&](const QByteArray& request, int) {
                const QByteArray pdu = mbap ? request.mid(7) : request.mid(1, request.size() - 3);
                const QModbusResponse reply =
                    !pdu.isEmpty() && pdu[0] == char(QModbusPdu::ReadInputRegisters)
                        ? QModbusResponse(QModbusPdu::ReadInputRegisters,
                                          QByteArray::fromHex("020008"))
                        : QModbusResponse(QModbusPdu::FunctionCode(65),
                                          QByteArray(1, 20) + QByteArray(20, '\x01'));
                const quint16 transaction =
                    request.size() < 2 ? 0 : quint16(quint8(request[0]) << 8 | quint8(request[1]));
                return fixture::GatewayReply{
                    (mbap ? ombrel::buildMbap(transaction, 1, reply) : ombrel::buildAdu(1, reply)) +
                    noise};
            },
            std::chrono::seconds(60));
        const platform::NetworkEndpoint endpoint{framing, QStringLiteral("127.0.0.1"),
                                                 gateway.port()};
        SCOPED_TRACE(endpoint.text().toStdString());
        const QString file = out.filePath("flood.txt"), trace = out.filePath("flood.trace");
        const QString err = out.filePath("flood.err");
        const auto [status, peakKiB] = RunMeasuringPeak(
            runArguments("1", 1, file) +
                QStringList{"--port", endpoint.text(), "--timeout", "300", "--trace", trace},
            err);
        EXPECT_EQ(status, 0) << ReadWholeFile(err).toStdString();
#if !defined(__SANITIZE_ADDRESS__)
        EXPECT_LT(peakKiB, 40 * 1024);
#endif
        const QByteArray diagnosis = ReadWholeFile(err);
        EXPECT_LT(diagnosis.size(), 16 * 1024);
        EXPECT_TRUE(diagnosis.contains("Пример:")) << diagnosis.toStdString();
        for (const QByteArray& line : diagnosis.split('\n'))
            EXPECT_LT(line.size(), 600) << line.left(200).toStdString();
        qsizetype longest = 0;
        for (const QByteArray& line : ReadWholeFile(trace).split('\n'))
            longest = std::max(longest, line.size());
        EXPECT_LT(longest, 4096); // 512 bytes in hex and the meaning
    }
}
