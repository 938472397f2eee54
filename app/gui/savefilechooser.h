// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <optional>

class QWidget;

namespace gui {

// The export's save dialog. Tests answer it instead of a modal file dialog.
class ISaveFileChooser {
public:
    struct TChoice {
        QString fileName;
        int filterIndex = 1; // 1 = "Текстовый файл", 2 = "Microsoft Excel", 3 = CSV
    };

    virtual ~ISaveFileChooser() = default;
    // `proposed`: the file name the dialog proposes (with the folder it opens in, when it has one;
    // else the working folder) and the filter it starts on. nullopt when the user cancels.
    [[nodiscard]] virtual std::optional<TChoice> choose(QWidget* parent,
                                                        const TChoice& proposed) = 0;
};

// The save dialog of the desktop: filters "Текстовый файл (*.txt)",
// "Microsoft Excel (*.xls *.xlsx)" and "CSV, UTF-8 (*.csv)", no question about existing files.
class TFileDialogChooser : public ISaveFileChooser {
public:
    std::optional<TChoice> choose(QWidget* parent, const TChoice& proposed) override;
};

// Installs Qt's own Russian translation (qtbase_ru from Qt's translations folder), so that Qt's
// dialogs and buttons speak the window's language; false when it is not installed.
bool InstallQtTranslation();

} // namespace gui
