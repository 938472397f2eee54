#pragma once

#include <QString>

#include <optional>

class QWidget;

// The export's save dialog. Tests answer it instead of a modal file dialog.
class ISaveFileChooser {
public:
    struct TChoice {
        QString fileName;
        int filterIndex = 1; // 1 = "Текстовый файл", 2 = "Microsoft Excel"
    };

    virtual ~ISaveFileChooser() = default;
    // nullopt when the user cancels.
    [[nodiscard]] virtual std::optional<TChoice> choose(QWidget* parent,
                                                        const QString& proposedName) = 0;
};

// The save dialog of the desktop: filters "Текстовый файл (*.txt)" and
// "Microsoft Excel (*.xls *.xlsx)", the device's name proposed, no question about existing files.
class TFileDialogChooser : public ISaveFileChooser {
public:
    std::optional<TChoice> choose(QWidget* parent, const QString& proposedName) override;
};
