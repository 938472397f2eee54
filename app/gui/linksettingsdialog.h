// SPDX-License-Identifier: MIT
#pragma once

#include <QDialog>

class QSpinBox;

namespace gui {

// "Параметры связи": the answer time and the retries of a reading, which the window keeps in
// main.ini's [Settings] (AnswerTime, Retries), where journal-read reads them too.
class TLinkSettingsDialog : public QDialog {
    Q_OBJECT
public:
    // The answer times and retries the dialog offers (journal-read --timeout takes the same).
    static constexpr int kMinAnswerMs = 10;
    static constexpr int kMaxAnswerMs = 60000;
    static constexpr int kMaxRetries = 100;

    TLinkSettingsDialog(int answerMs, int retries, QWidget* parent = nullptr);

    int answerMs() const;
    int retries() const;

    QSpinBox* edtAnswerTime = nullptr;
    QSpinBox* edtRetries = nullptr;
};

} // namespace gui
