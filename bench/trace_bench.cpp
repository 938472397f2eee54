// SPDX-License-Identifier: MIT
// The cost of the line trace: record requests (function 65) to the simulator on a pseudo-terminal
// without pacing (the fastest line, so the trace's share is the largest it can be), through the
// access library bound as the window binds it, in rounds that take turns between
//   off      no observer installed (the library only tests a pointer),
//   window   the "Обмен" tab's observers: the frame list model and the diagnosis,
//   file     journal-read --trace's observers: the diagnosis and the text file.
// Prints the median time an exchange takes in each mode, and the median over the rounds of each
// mode's time against the "off" run of the same round (the machine's load changes between
// rounds, less within one). With a second argument (a folder holding another OmbrelDll.so, e.g. one
// built without the trace) its "off" time is measured in the same rounds, for "costs nothing when
// off". Usage: QT_QPA_PLATFORM=offscreen trace_bench [exchanges-a-round [other-library-folder]]
#include "app/core/accesslibrarybinding.h"
#include "app/core/linediagnosis.h"
#include "app/gui/framelistmodel.h"
#include "benchcatalogue.h"
#include "platform/messagesink.h"
#include "sim/simulator.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

namespace {

constexpr int kCom = 251;
constexpr int kRounds = 15;

// Microseconds an exchange took over `count` record requests.
double ExchangeUs(core::IModbusLink& lib, int count, int records) {
    std::uint8_t buf[256];
    int errors = 0;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < count; ++i) {
        std::fill(std::begin(buf), std::end(buf), 0);
        const int index = i % records;
        const std::uint8_t req[7] = {0, 1, 0, 1, 0, std::uint8_t(index >> 8), std::uint8_t(index)};
        std::copy(std::begin(req), std::end(req), buf);
        errors += lib.AnyFunction(1, 65, 7, buf) != 0;
    }
    const double us = t.nsecsElapsed() / 1e3 / count;
    if (errors)
        std::fprintf(stderr, "%d errors\n", errors);
    return us;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int count = argc > 1 ? std::clamp(std::atoi(argv[1]), 100, 1000000) : 3000;
    BenchSink sink;
    core::TAccessLibraryBinding lib;
    if (!lib.LoadAccessLibrary(QCoreApplication::applicationDirPath(), &sink) ||
        !lib.SetTraceObserver(nullptr)) {
        std::fprintf(stderr, "cannot load the library with its trace\n");
        return 1;
    }
    core::TAccessLibraryBinding other;
    const bool withOther =
        argc > 2 && other.LoadAccessLibrary(QString::fromLocal8Bit(argv[2]), &sink);

    const int records = 1000;
    sim::Instrument inst;
    sim::Instrument::addSynthetic(inst.addJournal(1, sim::Layout::Plain), records);
    sim::Simulator s(inst);
    QString error;
    if (!s.start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
        return 1;
    }
    qputenv("JOURNAL_PORTS", QStringLiteral("COM%1=%2").arg(kCom).arg(s.clientPath()).toUtf8());

    gui::TFrameListModel model;
    core::TLineDiagnosis diagnosis;
    core::TTraceFanOut window;
    window.add(&model);
    window.add(&diagnosis);
    QTemporaryDir dir;
    QFile file(dir.filePath("trace.txt"));
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    core::TTraceTextWriter writer([&](const QString& line) { file.write(line.toUtf8()); });
    core::TTraceFanOut cli;
    cli.add(&diagnosis);
    cli.add(&writer);

    std::map<QString, std::vector<double>> times;
    const auto measure = [&](const QString& mode, core::IModbusLink& l, core::ITraceObserver* o) {
        if (!l.Connect(kCom, 115200, 0)) {
            std::fprintf(stderr, "Connect failed\n");
            std::exit(1);
        }
        l.Retries(0);
        l.SetTraceObserver(o);
        times[mode].push_back(ExchangeUs(l, count, records));
        l.SetTraceObserver(nullptr);
        l.Disconnect();
        QCoreApplication::processEvents(); // the model's batches
        model.Clear();
    };
    for (int round = 0; round < kRounds; ++round) {
        measure(QStringLiteral("off"), lib, nullptr);
        if (withOther)
            measure(QStringLiteral("other library"), other, nullptr);
        measure(QStringLiteral("window"), lib, &window);
        measure(QStringLiteral("file"), lib, &cli);
    }
    const std::vector<double>& off = times[QStringLiteral("off")];
    std::printf("%d rounds of %d record requests at 115,200 baud, no pacing; median a request:\n",
                kRounds, count);
    for (const auto& [mode, values] : times) {
        std::vector<double> ratios;
        for (std::size_t i = 0; i < values.size(); ++i)
            ratios.push_back(values[i] / off[i]);
        std::printf("  %-14s %8.1f us  (%+.1f %% against off in the same round)\n",
                    qPrintable(mode), Median(values), (Median(ratios) - 1) * 100);
    }
    std::printf("trace file: %lld bytes\n", static_cast<long long>(file.size()));
    return 0;
}
