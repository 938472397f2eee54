// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"
#include "archive/archivelocation.h"

#include <QObject>

#include <functional>
#include <memory>
#include <optional>

namespace platform {
class IMessageSink;
} // namespace platform
class QTimer;
namespace serverpath {
class TServerReadingPath;
} // namespace serverpath
namespace core {
class TArchiveBrowser;
class TArchiveRecorder;
} // namespace core
namespace Ui {
class TForm1;
}

namespace gui {

class TArchiveTab;
class TReadingController;

// The window's journal archive: where the readings of both paths store, "Дочитать", the
// "Архив" tab, a stored series opened into the list and the writer's failure after a reading.
class TArchiveController : public QObject {
    Q_OBJECT
public:
    // `lineBusy`: the instrument search holds the line ("Дочитать" waits for it).
    TArchiveController(Ui::TForm1& ui, platform::IMessageSink& messages,
                       TReadingController& reading, const core::TDevList& devices,
                       std::function<TDevInfo*()> device, std::function<bool()> lineBusy);
    ~TArchiveController() override;

    // The archive of `setting` for the readings of both paths, and its tab.
    void Setup(const archive::TArchiveSetting& setting, serverpath::TServerReadingPath& serverPath);
    TArchiveTab* tab() const { return m_tab; }
    // The last reading's archive writer has not finished committing.
    bool writing() const;

    // "Дочитать" is enabled when the archive holds a series of the selected device and journal.
    void UpdateIncrementalButton();
    // A reading starts, or has ended (then its writer's end is watched).
    void ReadingStarted();
    void ReadingEnded();

private:
    // Once the reading's archive writer has committed: its failure as one message, the button
    // and the tab up to date.
    void watchWriter();
    // The tab's "Открыть": the series in the list and the grouped view, as after a reading.
    void openSeries(qint64 seriesId, std::optional<qint64> start, std::optional<qint64> count);

    Ui::TForm1& ui;
    platform::IMessageSink& m_messages;
    TReadingController& m_reading;
    const core::TDevList& m_devices;
    std::function<TDevInfo*()> m_device;
    std::function<bool()> m_lineBusy;
    std::unique_ptr<core::TArchiveRecorder> m_recorder;
    std::unique_ptr<core::TArchiveBrowser> m_browser;
    TArchiveTab* m_tab = nullptr;
    QTimer* m_watch = nullptr;
};

} // namespace gui
