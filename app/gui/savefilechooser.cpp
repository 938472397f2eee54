#include "app/gui/savefilechooser.h"

#include <QFileDialog>

std::optional<ISaveFileChooser::TChoice> TFileDialogChooser::choose(QWidget* parent,
                                                                    const QString& proposedName) {
    const QStringList filters = {QStringLiteral("Текстовый файл (*.txt)"),
                                 QStringLiteral("Microsoft Excel (*.xls *.xlsx)")};
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setNameFilters(filters);
    dialog.selectFile(proposedName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    TChoice choice;
    choice.fileName = dialog.selectedFiles().constFirst();
    choice.filterIndex = filters.indexOf(dialog.selectedNameFilter()) == 1 ? 2 : 1;
    return choice;
}
