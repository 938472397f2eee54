// SPDX-License-Identifier: MIT
#pragma once

// The real window (offscreen), the real OmbrelDll.so and the instrument simulator on a
// pseudo-terminal, wired together for tests that click the window's buttons.
#include "app/gui/exchangetab.h"
#include "app/gui/mainform.h"
#include "app/gui/savefilechooser.h"
#include "app/models/stringtablemodel.h"
#include "platform/widgets/radiogroup.h"
#include "tests/mainpage.h"
#include "tests/recordingsink.h"
#include "tests/simulatorfixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <functional>
#include <memory>
#include <unistd.h>

namespace e2e {

inline constexpr int kComNumber = 250;
inline const QString kComName = QStringLiteral("COM250");

// Answers the save dialog with a prepared name and filter.
class FakeSaveChooser : public gui::ISaveFileChooser {
public:
    std::optional<TChoice> choose(QWidget*, const TChoice& proposedChoice) override {
        proposed = proposedChoice.fileName;
        proposedFilter = proposedChoice.filterIndex;
        return answer;
    }
    std::optional<TChoice> answer;
    QString proposed;
    int proposedFilter = 0;
};

class WindowRun : public ::testing::Test {
protected:
    void SetUp() override {
        // Every test ends within this bound, whatever hangs.
        alarm(120);
        ASSERT_TRUE(dir.isValid());
        const QDir examples(QStringLiteral(JOURNAL_SOURCE_DIR "/examples"));
        ASSERT_TRUE(QFile::copy(examples.filePath("main.ini"), dir.filePath("main.ini")));
        ASSERT_TRUE(QDir(dir.path()).mkdir("devices"));
        for (const QString& f : QDir(examples.filePath("devices")).entryList({"*.ini"}))
            ASSERT_TRUE(
                QFile::copy(examples.filePath("devices/" + f), dir.filePath("devices/" + f)));
        // A link keeps one instance of the library for the whole test program.
        ASSERT_TRUE(QFile::link(QStringLiteral(JOURNAL_BIN_DIR "/OmbrelDll.so"),
                                dir.filePath("OmbrelDll.so")));
    }

    void TearDown() override {
        form.reset();
        simulator.reset();
        alarm(0);
    }

    // Loads sim/content/<name>.sim; `edit` may change the instrument before it starts.
    void startSimulator(const QString& name,
                        const std::function<void(sim::Instrument&)>& edit = {}) {
        QString error;
        auto inst = fixture::ContentInstrument(name, &error);
        ASSERT_TRUE(inst) << error.toStdString();
        if (edit)
            edit(*inst);
        simulator = fixture::StartSimulator(*inst, {.com = kComNumber}, &error);
        ASSERT_TRUE(simulator) << error.toStdString();
        linkDescriptors = clientDescriptors();
    }

    // The window with the simulator's port as its only port, on the device named `device`.
    void createForm(const QString& device, int journal = 0) {
        gui::TForm1Options o;
        o.programDirectory = dir.path();
        o.messages = &sink;
        o.saveDialog = &chooser;
        o.ports = [] {
            return fixture::SimulatedPortList(
                kComNumber, qEnvironmentVariable("JOURNAL_PORTS").section('=', 1));
        };
        o.terminate = [] {};
        o.eventIntervalMs = 0; // the window hears of every record
        form = std::make_unique<TForm1>(std::move(o));
        ASSERT_TRUE(sink.messages.isEmpty()) << sink.messages.join('|').toStdString();
        const int index = page().cbxDev()->findText(device);
        ASSERT_GE(index, 0) << device.toStdString();
        page().cbxDev()->setCurrentIndex(index);
        page().rgTypeJ()->setItemIndex(journal);
        // The library is loaded once for the whole program: every test starts from its
        // default time-outs; one retry.
        setTimeouts(500, 50);
        form->SetRetries(1);
    }

    // The window's controls, grids and components.
    TMainPage page() const { return TMainPage(*form); }

    // Silence injected by a test then costs little.
    void shortTimeouts() { setTimeouts(60, 20); }

    void setTimeouts(int answerMs, int charMs) {
        using SetTimeoutsFn = int32_t (*)(int32_t, int32_t);
        auto fn = reinterpret_cast<SetTimeoutsFn>(dlsym(form->FLibrary().FHandle, "SetTimeouts"));
        ASSERT_NE(fn, nullptr);
        fn(answerMs, charMs);
        form->SetAnswerTime(answerMs); // what the window's run sets
    }

    void limit(int start, int count) {
        if (!page().chbLimit()->isChecked())
            page().chbLimit()->click();
        page().EdtStart()->setText(QString::number(start));
        page().EdtCount()->setText(QString::number(count));
    }

    // Rows 1.. of the linear list, each as its five cells joined by '|'.
    QStringList listRows() const {
        QStringList rows;
        const models::TStringTableModel* sg = page().sgCells();
        for (int r = 1; r < sg->rowCount(); ++r) {
            QStringList cells;
            for (int c = 0; c < sg->columnCount(); ++c)
                cells.append(sg->cell(r, c));
            rows.append(cells.join('|'));
        }
        return rows;
    }

    // Body rows of the grouped grid: the name cell, then the event cells ("time\rvalue").
    QList<QStringList> groupRows() const {
        QList<QStringList> rows;
        const models::TStringTableModel* g = page().sgGrCells();
        for (int r = 1; r < g->rowCount(); ++r) {
            QStringList cells;
            for (int c = 0; c < g->columnCount(); ++c)
                cells.append(g->cell(r, c));
            while (!cells.isEmpty() && cells.last().isEmpty())
                cells.removeLast();
            rows.append(cells);
        }
        return rows;
    }

    // Descriptors of this process on the simulator's client end (the link itself keeps one).
    int clientDescriptors() const {
        const QString path = simulator->clientPath();
        int n = 0;
        for (const QFileInfo& fd : QDir("/proc/self/fd").entryInfoList(QDir::System))
            n += fd.symLinkTarget() == path ? 1 : 0;
        return n;
    }
    bool portOpen() const { return clientDescriptors() > linkDescriptors; }

    // Clicks `button` ("Считать" unless given) and turns the event loop until the reading it
    // started has ended and the window shows all of it; `onEvents` runs after each turn.
    void read(QAbstractButton* button = nullptr) {
        (button ? button : page().btnRead2())->click();
        waitForRun();
    }
    // Turns the event loop until the reading or the search in progress has ended.
    void waitForRun() {
        QTimer tick; // onEvents also runs while the line is silent
        tick.start(5);
        const auto busy = [this] { return form->runActive() || page().tsExchange()->searching(); };
        while (busy()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            ++eventTurns;
            if (onEvents && busy())
                onEvents();
        }
    }
    // Starts the search of the "Обмен" tab and waits for its end.
    void search() {
        page().tsExchange()->Search();
        waitForRun();
    }
    // Records the window shows of the reading in progress.
    int rowsShown() const { return page().sgCells()->rowCount() - 1; }

    void expectIdle() const {
        EXPECT_TRUE(page().btnRead2()->isEnabled());
        EXPECT_FALSE(page().btnStop2()->isEnabled());
        EXPECT_TRUE(page().rgTypeJ()->isEnabled());
        EXPECT_FALSE(form->runActive());
        EXPECT_FALSE(portOpen());
    }

    QTemporaryDir dir;
    RecordingSink sink;
    FakeSaveChooser chooser;
    std::unique_ptr<sim::Simulator> simulator;
    std::unique_ptr<TForm1> form;
    int linkDescriptors = 0;
    int eventTurns = 0;
    std::function<void()> onEvents;
};

} // namespace e2e
