// SPDX-License-Identifier: MIT
// A whole reading run of a 65,536-record journal from the simulator on a pseudo-terminal:
//   (a) a bare loop of the library calls a run makes (Connect, Retries, AnyFunction per record,
//       Disconnect), then the same journal through the reading engine, the decoder and the list
//       model, and through the window itself (shown offscreen); speed against the bare loop,
//       longest gap between two turns of the window's event loop (a 1-ms precise timer counts
//       them: the loop sleeps between turns as a window's does, where a 0-ms timer would keep
//       its thread busy and compete with the run's thread and the simulator for the cores), and
//       the longest time the window's thread spent handling events between two turns;
//   (b) the window's run with the simulator paced at 115,200 baud, against the wire-time floor;
//   (c) exporting the 65,536 rows of the list to text and to .xlsx;
//   (d) the chart tab opened on the window's run with all its types;
//   (e) peak memory of the process (VmHWM).
// Usage: QT_QPA_PLATFORM=offscreen run_bench [records [paced-records]]
//        (defaults 65536 and 2000); EVENT_INTERVAL_MS overrides the window's event interval,
//        GAP_TIMER_MS the gap timer's interval (0: the busy meter of earlier figures).
#include "app/core/journaldecoder.h"
#include "app/core/journalexport.h"
#include "app/core/readingrun.h"
#include "app/gui/mainform.h"
#include "app/gui/savefilechooser.h"
#include "app/gui/views/charttab.h"
#include "app/models/stringtablemodel.h"
#include "benchcatalogue.h"
#include "peakmemory.h"
#include "platform/messagesink.h"
#include "tests/mainpage.h"
#include "tests/simulatorfixture.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr int kCom = 250;

// Longest time between two turns of the event loop while records arrive, and the longest time
// the window's thread spent handling events between two turns (the window's own work: a turn can
// also come late because the thread, asleep, did not get a core at once).
struct GapMeter {
    QElapsedTimer clock;
    qint64 last = -1;
    qint64 longest = 0;
    qint64 busy = 0; // handling events since the last turn
    qint64 longestBusy = 0;
    int turns = 0;
    void turn() {
        const qint64 now = clock.nsecsElapsed();
        if (last >= 0)
            longest = std::max(longest, now - last);
        longestBusy = std::max(longestBusy, busy);
        busy = 0;
        last = now;
        ++turns;
    }
    void reset() {
        clock.start();
        last = -1;
        longest = 0;
        busy = 0;
        longestBusy = 0;
        turns = 0;
    }
    double longestMs() const { return longest / 1e6; }
    double longestBusyMs() const { return longestBusy / 1e6; }
};

// The application, timing the events the window's thread handles (outermost ones only).
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;
    GapMeter* meter = nullptr;
    bool notify(QObject* receiver, QEvent* event) override {
        if (!meter || depth > 0 || QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        ++depth;
        const qint64 start = meter->clock.nsecsElapsed();
        const bool handled = QApplication::notify(receiver, event);
        meter->busy += meter->clock.nsecsElapsed() - start;
        --depth;
        return handled;
    }

private:
    int depth = 0;
};

// The engine's host without widgets: events handled after every record as in the window.
class BenchHost : public core::TSilentRunHost {
public:
    explicit BenchHost(GapMeter& gaps) : m_gaps(gaps) {}
    void ShowMessage(const QString& text, const QString&) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    void SetStatusText(const QString& text) override { m_status = text; }
    void SetCountText(const QString& text) override { m_count = text; }
    void BetweenCalls() override {
        m_gaps.turn();
        QCoreApplication::processEvents();
    }

private:
    GapMeter& m_gaps;
    QString m_status, m_count;
};

class FixedChooser : public gui::ISaveFileChooser {
public:
    std::optional<TChoice> choose(QWidget*, const TChoice&) override { return answer; }
    std::optional<TChoice> answer;
};

double seconds(const QElapsedTimer& t) {
    return t.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    TimedApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int records = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 65536) : 65536;
    const int pacedRecords = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, 65536) : 2000;

    BenchCatalogue bench;
    if (!bench.prepare(records, "lastcomspeed=7\n"))
        return 1;
    const QTemporaryDir& dir = bench.dir;
    core::TAccessLibraryBinding& lib = bench.lib;
    BenchSink& sink = bench.sink;

    sim::Instrument inst;
    sim::Journal& journal = inst.addJournal(1, sim::Layout::Plain);
    sim::Instrument::addSynthetic(journal, records, {1, 2, 3});

    bool ok = true;
    GapMeter gaps;
    core::TRunRequest request = bench.runRequest(kCom);

    auto startSim = [&](int baud, int pacing) {
        QString error;
        auto s =
            fixture::StartSimulator(inst, {.com = kCom, .baud = baud, .pacing = pacing}, &error);
        if (!s) {
            std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
            std::exit(1);
        }
        return s;
    };
    const int interval = qEnvironmentVariableIsSet("EVENT_INTERVAL_MS")
                             ? qEnvironmentVariableIntValue("EVENT_INTERVAL_MS")
                             : gui::TForm1Options().eventIntervalMs;
    auto windowOptions = [&](FixedChooser& chooser) {
        gui::TForm1Options o;
        o.programDirectory = dir.path();
        o.messages = &sink;
        o.saveDialog = &chooser;
        o.ports = [] { return fixture::SimulatedPortList(kCom); };
        o.terminate = [] {};
        o.eventIntervalMs = interval;
        return o;
    };

    // "Считать" in the shown window; returns the seconds the run took. A timer on the window's
    // thread counts the turns of its event loop until the run has ended and the window shows all
    // of it.
    const int gapTimerMs = qEnvironmentVariableIsSet("GAP_TIMER_MS")
                               ? qEnvironmentVariableIntValue("GAP_TIMER_MS")
                               : 1;
    auto timedWindowRun = [&](TForm1& form) {
        form.show();
        QCoreApplication::processEvents();
        QTimer watchdog;
        watchdog.setTimerType(Qt::PreciseTimer);
        watchdog.setInterval(gapTimerMs);
        QObject::connect(&watchdog, &QTimer::timeout, [&] { gaps.turn(); });
        gaps.reset();
        app.meter = &gaps;
        watchdog.start();
        QElapsedTimer t;
        t.start();
        TMainPage(form).btnRead2()->click();
        while (form.runActive())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        const double took = seconds(t);
        watchdog.stop();
        app.meter = nullptr;
        return took;
    };

    std::printf("journal of %d tdPlain records (IDs float, sword, list), no pacing; the window "
                "handles events at most every %d ms\n",
                records, interval);
    double bare = 0;
    {
        const auto s = startSim(0, 0);
        int errors = 0;
        bare = bench.bareLoop(kCom, records, &errors);
        if (bare < 0) {
            std::fprintf(stderr, "Connect failed\n");
            return 1;
        }
        std::printf("  bare loop       : %7.3f s (%.3f ms a record, %d errors)\n", bare,
                    bare * 1000 / records, errors);

        // The engine, the decoder and the list model, no widgets.
        models::TStringTableModel sg(2, 5), sgGr(2, 1);
        core::TJournalDecoder decoder(sg);
        core::TRunDecoder runDecoder(decoder, sgGr);
        BenchHost host(gaps);
        core::TReadingRun run(lib, runDecoder, sg, host);
        gaps.reset();
        QElapsedTimer t;
        t.start();
        run.Run(request);
        const double engine = seconds(t);
        std::printf("  engine + model  : %7.3f s (%.3f ms a record, %.2f x bare speed, "
                    "longest event gap %.1f ms, %d rows)\n",
                    engine, engine * 1000 / records, bare / engine, gaps.longestMs(),
                    sg.rowCount() - 1);
        ok = ok && bare / engine >= 0.8 && gaps.longestMs() < 100 && sg.rowCount() == records + 1;
    }
    {
        const auto s = startSim(0, 0);
        FixedChooser chooser;
        TForm1 form(windowOptions(chooser));
        const double window = timedWindowRun(form);
        const TMainPage page(form);
        QElapsedTimer t;
        const int rows = page.sgCells()->rowCount() - 1;
        std::printf("  window (shown)  : %7.3f s (%.3f ms a record, %.2f x bare speed, "
                    "longest event gap %.1f ms, busy stretch %.1f ms, %d rows)\n",
                    window, window * 1000 / records, bare / window, gaps.longestMs(),
                    gaps.longestBusyMs(), rows);
        std::printf("  targets         : >= 0.80 x bare speed, gap < 100 ms\n\n");
        ok = ok && bare / window >= 0.8 && gaps.longestMs() < 100 && rows == records;

        // The "График" tab with every type of the run: its time, and its memory in the peak.
        t.restart();
        page.PageControl1()->setCurrentWidget(page.tsChart());
        QListWidget* types = page.tsChart()->lstTypes();
        for (int i = 0; i < types->count(); ++i)
            types->item(i)->setCheckState(Qt::Checked);
        QCoreApplication::processEvents();
        form.repaint();
        std::printf("  chart, all types: %7.3f s (%d types; target < 0.5 s)\n\n", seconds(t),
                    types->count());

        // (c) Export of the window's list.
        const QString txt = dir.filePath("list.txt"), xlsx = dir.filePath("list.xlsx");
        chooser.answer = gui::ISaveFileChooser::TChoice{txt, 1};
        t.start();
        page.BtnExcel()->click();
        const double textSeconds = seconds(t);
        chooser.answer = gui::ISaveFileChooser::TChoice{xlsx, 2};
        t.start();
        page.BtnExcel()->click();
        const double bookSeconds = seconds(t);
        std::printf("export of %d rows\n", rows);
        std::printf("  text            : %7.3f s (%lld bytes; target < 0.5 s)\n", textSeconds,
                    QFileInfo(txt).size());
        std::printf("  .xlsx           : %7.3f s (%lld bytes; target < 1.5 s)\n\n", bookSeconds,
                    QFileInfo(xlsx).size());
        ok = ok && textSeconds < 0.5 && bookSeconds < 1.5 && QFileInfo(xlsx).size() > 0;
    }

    // (b) The window against a line paced at 115,200 baud.
    {
        bench.setRecords(pacedRecords);
        const int baud = 115200;
        const auto s = startSim(baud, baud);
        FixedChooser chooser;
        TForm1 form(windowOptions(chooser));
        const double measured = timedWindowRun(form);
        // Request: address, 0x41, 7 bytes, CRC; answer: address, 0x41, count, 10 bytes, CRC; a
        // 3.5-character silence (1.75 ms above 19,200 baud) before each.
        const int frames = (1 + 1 + 7 + 2) + (1 + 1 + 1 + 10 + 2);
        const double floor = pacedRecords * (frames * 10.0 / baud + 2 * 0.00175);
        std::printf("window run of %d records paced at %d baud\n", pacedRecords, baud);
        std::printf("  measured        : %7.3f s (%.3f ms a record, longest event gap %.1f ms, "
                    "busy stretch %.1f ms)\n",
                    measured, measured * 1000 / pacedRecords, gaps.longestMs(),
                    gaps.longestBusyMs());
        std::printf("  wire floor      : %7.3f s (%.3f ms a record)\n", floor,
                    floor * 1000 / pacedRecords);
        std::printf("  speed           : %7.1f %% of the floor's (target >= 90 %%)\n\n",
                    floor / measured * 100);
        ok = ok && floor / measured >= 0.9 &&
             TMainPage(form).sgCells()->rowCount() == pacedRecords + 1;
    }

    const long hwm = PeakMemoryKb();
    std::printf("peak memory (VmHWM): %.1f MB (target < 200 MB)\n", hwm / 1024.0);
    ok = ok && hwm >= 0 && hwm < 200 * 1024;
    std::printf("%s\n", ok ? "all targets met" : "TARGET MISSED");
    return ok ? 0 : 3;
}
