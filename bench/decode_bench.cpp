// SPDX-License-Identifier: MIT
// Decoding and view benchmark: 65,536 fixed-layout records decoded one by one into the linear
// list, each followed by the scroll to the last row on a real table view; then the grouped view
// built from them in 50 groups and in a single group of 65,536 events (65,537 columns), each
// build followed by the first paint of the grid. Prints the times and the peak resident memory.
//
// Usage: decode_bench [records [extra records]]   (defaults 65536 and 4096). The extra records
// are appended on top of the full list twice: once handling the window's events after every
// record, as the reading run does (so every record also scrolls and repaints the list), and once
// with an immediate scrollToBottom after every record, for comparison with the joined scroll.
// Runs offscreen unless QT_QPA_PLATFORM is set.

#include "app/core/journaldecoder.h"
#include "app/gui/views/journalviews.h"
#include "app/models/stringtablemodel.h"
#include "peakmemory.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QLocale>
#include <QTableView>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

TDevInfo BenchDevice() {
    TDevInfo d;
    d.Name = QStringLiteral("Прибор");
    d.CountJournals = 1;
    d.Journal[0].typedev = tdPlain3;
    const std::int32_t types[] = {dtSWord, dtFloat,    dtDateTime,  dtSByte, dtUByte,
                                  dtUWord, dtLongWord, dtSLongWord, dtList};
    for (int id = 1; id <= 50; ++id) {
        TRecType t;
        t.addr = id;
        t.atype = types[id % 9];
        t.Name = QStringLiteral("Параметр номер %1").arg(id);
        if (t.atype == dtList)
            t.Strs =
                std::vector<TValueStr>{{0, QStringLiteral("выкл")}, {1, QStringLiteral("вкл")}};
        d.ListRecType.push_back(std::move(t));
    }
    return d;
}

struct Stats {
    double totalMs = 0, meanUs = 0, p99Us = 0, maxUs = 0;
};

// Decodes records first .. first + count - 1 into the list; `idOf` picks the record's ID. With
// `pumpEvents` the window's events are handled after every record, as the reading run does (so
// the list scrolls and repaints after every record); `after` runs after each record.
template <class IdOf, class After>
Stats AppendRecords(core::TJournalDecoder& decoder, models::TStringTableModel& sg, int first,
                    int count, IdOf idOf, bool pumpEvents, After after) {
    std::vector<double> us(static_cast<std::size_t>(count));
    QElapsedTimer total, one;
    total.start();
    for (int i = first; i < first + count; ++i) {
        one.start();
        sg.setRowCount(i + 2);
        decoder.DecodeRecord(i, 1600000000u + static_cast<std::uint32_t>(i) * 60, idOf(i), 0,
                             static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(i + 1));
        after();
        if (pumpEvents)
            QCoreApplication::processEvents();
        us[static_cast<std::size_t>(i - first)] = one.nsecsElapsed() / 1000.0;
    }
    Stats s;
    s.totalMs = total.nsecsElapsed() / 1e6;
    s.meanUs = s.totalMs * 1000.0 / count;
    std::sort(us.begin(), us.end());
    s.p99Us = us[static_cast<std::size_t>(count * 0.99)];
    s.maxUs = us.back();
    return s;
}

void Print(const char* what, int count, const Stats& s) {
    std::printf("%-44s %6d records: total %8.1f ms, mean %7.2f us, p99 %7.2f us, max %8.1f us\n",
                what, count, s.totalMs, s.meanUs, s.p99Us, s.maxUs);
}

void ResetList(core::TJournalDecoder& decoder, models::TStringTableModel& sg,
               models::TStringTableModel& gr) {
    sg.clearCells(1);
    sg.setRowCount(2);
    decoder.ClearGroupData(gr);
    QCoreApplication::processEvents();
}

// BuildGroupView, then the first paint of the grid; returns (build ms, build + paint ms).
std::pair<double, double> BuildAndPaint(core::TJournalDecoder& decoder,
                                        models::TStringTableModel& gr, QTableView& view) {
    QElapsedTimer t;
    t.start();
    decoder.BuildGroupView(gr);
    const double build = t.nsecsElapsed() / 1e6;
    QCoreApplication::processEvents();
    view.viewport()->repaint();
    view.horizontalHeader()->viewport()->repaint();
    QCoreApplication::processEvents();
    return {build, t.nsecsElapsed() / 1e6};
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 65536;
    const int pumped = argc > 2 ? std::max(0, QString::fromLocal8Bit(argv[2]).toInt()) : 4096;

    const TDevInfo device = BenchDevice();
    models::TStringTableModel sg(2, 5);
    const char* headings[] = {"№", "Время", "Параметр", "Значение до", "Значение новое"};
    for (int c = 0; c < 5; ++c)
        sg.setCell(0, c, QString::fromUtf8(headings[c]));
    models::TStringTableModel gr(2, 1);
    gr.setCell(0, 0, QStringLiteral("Название"));

    QTableView list;
    views::SetupLinearList(&list, &sg);
    list.resize(734, 380);
    list.show();
    QTableView groups;
    views::SetupGroupGrid(&groups, &gr);
    groups.resize(734, 380);
    groups.show();
    QCoreApplication::processEvents();

    core::TJournalDecoder decoder(sg);
    decoder.setDevice(&device);
    decoder.setScrollHook([&list] { views::ScrollToLastRow(&list); });

    auto fiftyGroups = [](int i) { return i % 50 + 1; };
    auto oneGroup = [](int) { return 1; };
    auto nothing = [] {};

    ResetList(decoder, sg, gr);
    Stats s = AppendRecords(decoder, sg, 0, count, fiftyGroups, false, nothing);
    Print("append + scroll hook, 50 IDs", count, s);
    auto [build50, paint50] = BuildAndPaint(decoder, gr, groups);
    std::printf("BuildGroupView, 50 groups (%d x %d): build %.1f ms, build + first paint %.1f ms\n",
                gr.rowCount(), gr.columnCount(), build50, paint50);

    if (pumped > 0) {
        s = AppendRecords(decoder, sg, count, pumped, fiftyGroups, true, nothing);
        Print("then + events (scroll, repaint) per record", pumped, s);
        // For comparison: a scroll that lays the view out at once after every record.
        s = AppendRecords(decoder, sg, count + pumped, pumped, fiftyGroups, false,
                          [&list] { list.scrollToBottom(); });
        Print("then + immediate scrollToBottom per record", pumped, s);
    }

    ResetList(decoder, sg, gr);
    s = AppendRecords(decoder, sg, 0, count, oneGroup, false, nothing);
    Print("append + scroll hook, one ID", count, s);
    auto [build1, paint1] = BuildAndPaint(decoder, gr, groups);
    std::printf("BuildGroupView, one group (%d x %d): build %.1f ms, build + first paint %.1f ms\n",
                gr.rowCount(), gr.columnCount(), build1, paint1);

    std::printf("peak memory (VmHWM): %.1f MB\n", PeakMemoryKb() / 1024.0);
    return 0;
}
