// SPDX-License-Identifier: MIT
// Chart benchmark: records of one float type with a value before (two vertices a record) decoded
// into the linear list, then the "График" tab: preparing its data, and preparing plus building
// and first painting the chart; then zoom steps of the mouse wheel and pans, each followed by a
// repaint of the plot. Prints the times and the peak resident memory of the whole run.
//
// Usage: chart_bench [records [width height]]   (defaults 65536 and 1280 x 800). Runs offscreen
// unless QT_QPA_PLATFORM is set.

#include "app/core/chartdata.h"
#include "app/core/journaldecoder.h"
#include "app/gui/views/charttab.h"
#include "app/gui/views/chartview.h"
#include "app/models/stringtablemodel.h"
#include "peakmemory.h"

#include <QApplication>
#include <QChart>
#include <QElapsedTimer>
#include <QLineSeries>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

// Lets the chart lay its items out (Qt Charts does that on posted events), then paints the
// whole tab at once.
void Paint(views::TChartTab& tab) {
    QCoreApplication::processEvents();
    tab.repaint();
}

// Runs `step` `count` times, each followed by a repaint of the plot; prints mean and slowest.
void TimeSteps(const char* what, views::TChartTab& tab, int count,
               const std::function<void()>& step) {
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer t;
        t.start();
        step();
        Paint(tab);
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    double sum = 0;
    for (const double m : ms)
        sum += m;
    const auto* line = static_cast<QLineSeries*>(tab.chart()->series().value(0));
    std::printf("%-28s %3d steps: mean %6.1f ms, slowest %6.1f ms (%lld vertices drawn at the "
                "end)\n",
                what, count, sum / count, *std::max_element(ms.begin(), ms.end()),
                line ? static_cast<long long>(line->count()) : 0LL);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int records = argc > 1 ? std::max(1, std::atoi(argv[1])) : 65536;
    const int width = argc > 3 ? std::atoi(argv[2]) : 1280;
    const int height = argc > 3 ? std::atoi(argv[3]) : 800;

    TDevInfo device;
    device.CountJournals = 1;
    device.Journal[0].typedev = tdPlain3;
    device.ListRecType = {{1, dtFloat, QStringLiteral("Уставка температуры"), {}, std::nullopt}};
    models::TStringTableModel sg(2, 5);
    core::TJournalDecoder decoder(sg);
    decoder.setDevice(&device);
    // One record a minute; a slow wave with noise, so that every pixel column has its extremes.
    for (int i = 0; i < records; ++i) {
        const float value = float(50 + 30 * std::sin(i / 900.0) + (i * 7919 % 13));
        const float before = float(50 + 30 * std::sin((i - 1) / 900.0));
        decoder.DecodeRecord(i, 1600000000u + std::uint32_t(i) * 60u, 1, 0,
                             std::bit_cast<std::uint32_t>(before),
                             std::bit_cast<std::uint32_t>(value));
    }

    QElapsedTimer t;
    t.start();
    const core::TChartData data = core::PrepareChartData(decoder);
    const double prepareMs = double(t.nsecsElapsed()) / 1e6;

    views::TChartTab tab;
    tab.setDecoder(&decoder);
    tab.resize(width, height);
    t.restart();
    tab.show(); // prepares the data and builds the chart
    Paint(tab);
    const double firstPaintMs = double(t.nsecsElapsed()) / 1e6;
    std::printf("%d records of one type (%zu points, %d x %d window):\n", records,
                data.series.empty() ? std::size_t(0) : data.series[0].points.size(), width, height);
    std::printf("data preparation %.1f ms; preparation + chart + first paint %.1f ms\n", prepareMs,
                firstPaintMs);

    views::TChartView& view = *tab.chartView();
    const double centre = tab.chart()->plotArea().center().x();
    TimeSteps("wheel zoom in (x0.8)", tab, 30, [&] { view.zoomTime(0.8, centre); });
    TimeSteps("pan 40 px", tab, 30, [&] { tab.chart()->scroll(-40, 0); });
    TimeSteps("wheel zoom out (x1.25)", tab, 30, [&] { view.zoomTime(1.25, centre); });
    TimeSteps("reset", tab, 5, [&] { tab.resetZoom(); });
    TimeSteps("pan 20 px, whole range", tab, 30, [&] { tab.chart()->scroll(20, 0); });
    std::printf("peak memory (VmHWM): %.1f MB\n", PeakMemoryKb() / 1024.0);
    return 0;
}
