// SPDX-License-Identifier: MIT
// The collector's logic without instruments: its list, who may see its page, its counters and the
// state it keeps of an instrument after a reading.
#include "app/core/catalogue.h"
#include "collect/collectargs.h"
#include "collect/instrumentreader.h"
#include "collect/metrics.h"
#include "collect/pageaccess.h"
#include "platform/inifile.h"
#include "qstringprinter.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace collect;

namespace {

struct TSection {
    const char* name;
    const char* keys; // lines separated by '|'
};

// The list: good entries, broken ones, and sections of lines. LINK is a link to /dev/null.
const TSection kSections[] = {
    {"Котельная 1", "Port=tcp://10.0.0.5|Address=5|Device=Регулятор РТ-10|Every=15m"},
    {"Котельная 2", "Port=COM9|Address=6|Device=1|Journals=2|Every=1h|ConnectPause=100"},
    {"Насос", "Port=LINK|Address=1|Device=2|Every=30s|Speed=9600|Link=485"},
    {"Насос 2", "port=/dev/null|ADDRESS=2|Device=2|Every=1d|KeepConnection=0"},
    {"/dev/null", "RequestPause=20|KeepConnection=1|Speed=4800|Every=1m"},
    {"COM9", "Speed=9600|AnswerTime=2000"},
    {"Шлюз", "Port=rtu+tcp://gw:4001|Address=1|Device=1|Every=5m|Link=485|Adress=1"},
    {"Без порта", "Address=1|Device=1"},
    {"Адрес", "Port=COM9|Address=300|Device=1|Every=1m"},
    {"Прибор", "Port=COM9|Address=7|Device=Нет такого|Every=1m|RequestPause=-5"},
    {"Журнал", "Port=COM9|Address=8|Device=1|Journals=1,7|Every=1m"},
    {"Период", "Port=COM9|Address=9|Device=1|Every=15"},
    {"Порт", "Port=ftp://x|Address=1|Device=1|Every=1m"},
    {"Занятый адрес", "Port=tcp://10.0.0.5:502|Address=5|Device=1|Every=1m"},
    {"Дубль", "Port=COM9|Address=10|Device=1|Every=1m"},
    {"Дубль", "Address=11"},
};

struct TExpectedProblem {
    const char* section;
    const char* key; // the line of this key, or the section's header when empty
    const char* text;
};

const TExpectedProblem kProblems[] = {
    {"/dev/null", "Every", "Every: не ключ раздела линии; ключ не учитывается"},
    {"COM9", "Speed", "Speed не относится к сетевому адресу; ключ не учитывается"},
    {"Шлюз", "Link", "Link не относится к сетевому адресу; ключ не учитывается"},
    {"Шлюз", "Adress", "Adress: неизвестный ключ; ключ не учитывается"},
    {"Без порта", "", "нет ключей Port, Every; прибор пропущен"},
    {"Адрес", "Address", "Address=300: ожидается адрес от 1 до 247; прибор пропущен"},
    {"Прибор", "Device",
     "Device=Нет такого: ожидается название прибора каталога или его номер от 1 до 6; прибор "
     "пропущен"},
    {"Прибор", "RequestPause",
     "RequestPause=-5: ожидается пауза от 0 до 600000 мс; прибор пропущен"},
    {"Журнал", "Journals",
     "Journals=1,7: ожидается номер журнала прибора «Регулятор РТ-10» от 1 до 2, несколько — "
     "через запятую; прибор пропущен"},
    {"Период", "Every",
     "Every=15: ожидается период: число и s, m, h или d (15m), от 1 s до 366 d; прибор "
     "пропущен"},
    {"Порт", "Port",
     "Port=ftp://x: ожидается COMn, путь устройства, tcp://УЗЕЛ[:ПОРТ] или "
     "rtu+tcp://УЗЕЛ:ПОРТ; прибор пропущен"},
    {"Занятый адрес", "Address",
     "Address=5: этот адрес на линии tcp://10.0.0.5:502 уже у прибора «Котельная 1»; прибор "
     "пропущен"},
    {"Дубль", "", "раздел повторяется в строке 0; прибор пропущен"}, // line filled in below
};

// The file's lines, and where each section's header and keys are.
struct TListFile {
    QStringList lines;
    int lineOf(const QString& section, const QString& key) const {
        bool in = false;
        for (int i = 0; i < lines.size(); ++i) {
            if (lines[i].startsWith(u'['))
                in = lines[i] == u'[' + section + u']';
            if (in && (key.isEmpty() ? lines[i].startsWith(u'[')
                                     : lines[i].startsWith(key + u'=', Qt::CaseInsensitive)))
                return i + 1;
        }
        return 0;
    }
};

TEST(InstrumentList, KnownEntriesRunAndBrokenOnesAreNamedByLineAndKey) {
    QTemporaryDir dir;
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), dir.filePath(QStringLiteral("link"))));
    qputenv("JOURNAL_PORTS", "COM9=tcp://10.0.0.5:502");
    core::TCatalogue catalogue;
    catalogue.Load(QStringLiteral(JOURNAL_SOURCE_DIR "/examples"));
    TListFile file;
    for (const TSection& s : kSections) {
        file.lines << QStringLiteral("[%1]").arg(QString::fromUtf8(s.name));
        for (const QString& key : QString::fromUtf8(s.keys).split(u'|'))
            file.lines << QString(key).replace(QStringLiteral("LINK"), dir.filePath("link"));
        file.lines << QString();
    }
    const QString path = QStringLiteral("/site/collect.ini");
    const TInstrumentList list = ParseInstrumentList(
        platform::IniFile(file.lines.join(QStringLiteral("\r\n")).toUtf8().prepend("\xEF\xBB\xBF")),
        path, catalogue);
    qunsetenv("JOURNAL_PORTS");

    QStringList expected;
    for (const TExpectedProblem& p : kProblems) {
        const QString section = QString::fromUtf8(p.section);
        QString text = QString::fromUtf8(p.text);
        text.replace(
            QStringLiteral("строке 0"),
            QStringLiteral("строке %1").arg(file.lines.lastIndexOf(u'[' + section + u']') + 1));
        expected << QStringLiteral("%1:%2: [%3] %4")
                        .arg(path, QString::number(file.lineOf(section, QString::fromUtf8(p.key))),
                             section, text);
    }
    QStringList problems;
    for (const TListProblem& p : list.problems)
        problems << p.text;
    EXPECT_EQ(problems.join(u'\n'), expected.join(u'\n'));

    // The instruments that run, their lines and what they take from the line sections.
    struct TRuns {
        const char* name;
        int line;
        QList<int> journals;
        int speed, linkType, answerTime, connectPause, requestPause;
        bool keep;
        std::chrono::seconds every;
    };
    using namespace std::chrono_literals;
    const TRuns runs[] = {
        {"Котельная 1", 0, {1, 2}, 0, 0, 2000, 0, 0, false, 15min},
        {"Котельная 2", 0, {2}, 0, 0, 2000, 100, 0, false, 1h},
        {"Насос", 1, {1, 2}, 9600, 1, 500, 0, 20, true, 30s},
        {"Насос 2", 1, {1, 2}, 4800, 0, 500, 0, 20, false, 24h},
        {"Шлюз", 2, {1, 2}, 0, 1, 500, 0, 0, false, 5min},
    };
    ASSERT_EQ(list.instruments.size(), std::size(runs));
    ASSERT_EQ(list.lines.size(), 3u);
    EXPECT_EQ(list.lines[0].key, QStringLiteral("tcp://10.0.0.5:502"));
    EXPECT_EQ(list.lines[1].key, QStringLiteral("/dev/null"));
    EXPECT_EQ(list.lines[2].key, QStringLiteral("rtu+tcp://gw:4001"));
    EXPECT_EQ(list.lines[1].instruments, (QList<int>{2, 3}));
    for (std::size_t k = 0; k < std::size(runs); ++k) {
        const TRuns& r = runs[k];
        const TInstrument& i = list.instruments[k];
        SCOPED_TRACE(r.name);
        EXPECT_EQ(i.name, QString::fromUtf8(r.name));
        EXPECT_EQ(i.line, r.line);
        EXPECT_EQ(i.journals, r.journals);
        EXPECT_EQ(i.speed, r.speed);
        if (r.speed > 0) {
            EXPECT_EQ(i.linkType, r.linkType);
        }
        EXPECT_EQ(i.answerTime, r.answerTime);
        EXPECT_EQ(i.connectPauseMs, r.connectPause);
        EXPECT_EQ(i.requestPauseMs, r.requestPause);
        EXPECT_EQ(i.keepConnection, r.keep);
        EXPECT_EQ(i.every, r.every);
    }
}

TEST(InstrumentList, PeriodsAndCommandLines) {
    using namespace std::chrono_literals;
    const std::pair<const char*, std::optional<std::chrono::seconds>> periods[] = {
        {"15m", 15min}, {" 2H ", 2h}, {"1d", 24h}, {"90s", 90s}, {"366d", 366 * 24h},
        {"367d", {}},   {"0m", {}},   {"15", {}},  {"m", {}},    {"-1h", {}},
        {"1.5h", {}},   {"1 h", 1h},  {"+5m", {}}};
    for (const auto& [text, period] : periods)
        EXPECT_EQ(ParsePeriod(QString::fromUtf8(text)), period) << text;
    EXPECT_EQ(PeriodText(90s), QStringLiteral("90s"));
    EXPECT_EQ(PeriodText(120s), QStringLiteral("2m"));

    const std::pair<const char*, const char*> lines[] = {
        {"--http 8080", ""},
        {"--http [::1]:0 --token-file t", ""},
        {"--http=0.0.0.0:80 --check", "--http и --token-file не сочетаются с --check и --status"},
        {"--http ::1:80", "--http: «::1:80» — ожидается [АДРЕС:]ПОРТ, например 8080 или "
                          "0.0.0.0:8080"},
        {"--http host:80", "--http: «host:80» — ожидается [АДРЕС:]ПОРТ, например 8080 или "
                           "0.0.0.0:8080"},
        {"--token-file t", "--token-file задаётся вместе с --http"},
        {"--check --status", "--check и --status не задаются вместе"},
        {"--config", "у --config нет значения"},
        {"--once --jobs 4 --lease 30s", ""},
        {"--jobs 0", "--jobs: «0» — ожидается число линий от 1 до 1000"},
        {"--lease 1s", "--lease: «1s» — ожидается время: число и s, m или h (2m), от 5 s до 24 h"},
        {"--status --once", "--once и --jobs не сочетаются с --check и --status"},
        {"--check=1", "--check не принимает значения"},
    };
    for (const auto& [line, error] : lines) {
        const auto parsed = ParseCollectCommandLine(QString::fromUtf8(line).split(u' '));
        EXPECT_EQ(parsed.error, QString::fromUtf8(error)) << line;
    }
    const auto parsed = ParseCollectCommandLine({QStringLiteral("--http"), QStringLiteral("8080")});
    ASSERT_TRUE(parsed.options && parsed.options->http);
    EXPECT_TRUE(parsed.options->http->loopback());
    EXPECT_EQ(parsed.options->http->port, 8080);
}

// Requests of two addresses at times of the clock: no token, a wrong one, the right one too soon
// after a wrong one, then in time.
TEST(PageAccess, WrongTokensSlowTheirAddressDown) {
    qint64 now = 0;
    TPageAccess access(QStringLiteral("s3cret"), [&] { return now; });
    const QByteArray basicRight = "Basic " + QByteArray("user:s3cret").toBase64();
    const QByteArray basicWrong = "Basic " + QByteArray("user:guess").toBase64();
    struct Step {
        qint64 at;
        const char* peer;
        QByteArray header;
        int status;
        qint64 retryAfterS;
    };
    const Step steps[] = {
        {0, "a", "", 401, 0},
        {0, "a", "Bearer s3cret", 200, 0},
        {0, "a", basicRight, 200, 0},
        {0, "a", "Digest s3cret", 401, 0},
        {0, "a", "Basic !!!", 401, 0},
        {10, "a", basicWrong, 401, 0},       // first wrong: 250 ms
        {100, "a", "Bearer s3cret", 429, 1}, // too soon, unchecked
        {100, "b", "Bearer s3cret", 200, 0}, // another address is not slowed down
        {260, "a", "Bearer nope", 401, 0},   // second wrong: 500 ms
        {700, "a", "Bearer s3cret", 429, 1},
        {760, "a", "Bearer s3cret", 200, 0},
        {770, "a", "Bearer nope", 401, 0}, // a right token forgot the failures: 250 ms again
        {1019, "a", "Bearer s3cret", 429, 1},
        {1020, "a", "Bearer s3cret", 200, 0},
    };
    for (const Step& s : steps) {
        now = s.at;
        const auto verdict = access.Check(QString::fromLatin1(s.peer), s.header);
        EXPECT_EQ(verdict.status, s.status) << s.at << " " << s.header.constData();
        EXPECT_EQ(verdict.retryAfterS, s.retryAfterS) << s.at;
    }
    EXPECT_EQ(TPageAccess(QString()).Check(QStringLiteral("a"), {}).status, 200);
}

TEST(CollectorMetrics, CountsPerLineInTheTextFormat) {
    TCollectorMetrics metrics;
    const QString line = QStringLiteral("rtu+tcp://gw:4001");
    metrics.SetLines({{line, 2}, {QStringLiteral("/dev/a\"b\\c"), 1}});
    metrics.ReadingDone(line, {false, 100, 2, 1.5});
    metrics.ReadingDone(line, {true, 0, 0, 0.25});
    for (const double seconds : {0.004, 0.02, 0.02, 30.0})
        metrics.Exchange(line, seconds);
    const QString text = QString::fromUtf8(metrics.PrometheusText());
    for (const char* expected :
         {"journal_collect_instruments{line=\"/dev/a\\\"b\\\\c\"} 1\n",
          "journal_collect_readings_total{line=\"rtu+tcp://gw:4001\"} 2\n",
          "journal_collect_reading_failures_total{line=\"rtu+tcp://gw:4001\"} 1\n",
          "journal_collect_records_total{line=\"rtu+tcp://gw:4001\"} 100\n",
          "journal_collect_failed_records_total{line=\"rtu+tcp://gw:4001\"} 2\n",
          "journal_collect_reading_seconds_total{line=\"rtu+tcp://gw:4001\"} 1.75\n",
          "journal_collect_exchange_seconds_bucket{line=\"rtu+tcp://gw:4001\",le=\"0.005\"} 1\n",
          "journal_collect_exchange_seconds_bucket{line=\"rtu+tcp://gw:4001\",le=\"0.025\"} 3\n",
          "journal_collect_exchange_seconds_bucket{line=\"rtu+tcp://gw:4001\",le=\"10\"} 3\n",
          "journal_collect_exchange_seconds_bucket{line=\"rtu+tcp://gw:4001\",le=\"+Inf\"} 4\n",
          "journal_collect_exchange_seconds_count{line=\"rtu+tcp://gw:4001\"} 4\n",
          "# TYPE journal_collect_exchange_seconds histogram\n"})
        EXPECT_TRUE(text.contains(QString::fromUtf8(expected))) << expected << "\n"
                                                                << text.toStdString();
}

// A failure carries the time of the first failure of a row; a good or stopped reading ends it.
TEST(InstrumentState, FailingSinceTheFirstFailureOfARow) {
    TDevInfo device;
    device.Name = QStringLiteral("Регулятор РТ-10");
    TInstrument instrument;
    instrument.name = QStringLiteral("Котельная 1");
    instrument.device = &device;
    instrument.journals = {1};
    const TLine line{QStringLiteral("tcp://10.0.0.5:502"), true, {0}};
    const QDateTime t0 = QDateTime::fromSecsSinceEpoch(1700000000);
    std::optional<archive::TInstrumentState> state;
    struct Step {
        TReadingOutcome outcome;
        archive::TCollectState expected;
        int failingSinceStep; // -1: none
    };
    const Step steps[] = {
        {{true, false, 10, 0, {}}, archive::TCollectState::Ok, -1},
        {{false, false, 0, 0, QStringLiteral("Прибор не отвечает")},
         archive::TCollectState::Failing,
         1},
        {{false, false, 3, 1, QStringLiteral("Прибор не отвечает")},
         archive::TCollectState::Failing,
         1},
        {{false, true, 5, 0, {}}, archive::TCollectState::Stopped, -1},
        {{false, false, 0, 0, QStringLiteral("Ошибка")}, archive::TCollectState::Failing, 4},
    };
    for (int k = 0; k < int(std::size(steps)); ++k) {
        const QDateTime began = t0.addSecs(900 * k);
        state = StateAfterReading(instrument, line, state, steps[k].outcome, began,
                                  began.addSecs(900), QStringLiteral("me"));
        EXPECT_EQ(state->state, steps[k].expected) << k;
        EXPECT_EQ(state->failingSince, steps[k].failingSinceStep < 0
                                           ? QDateTime()
                                           : t0.addSecs(900 * steps[k].failingSinceStep))
            << k;
        EXPECT_EQ(state->newRecords, steps[k].outcome.newRecords);
    }
}

} // namespace
