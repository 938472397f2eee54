// SPDX-License-Identifier: MIT
#include "app/gui/savefilechooser.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QTranslator>

#include <algorithm>

namespace gui {

std::optional<ISaveFileChooser::TChoice> TFileDialogChooser::choose(QWidget* parent,
                                                                    const TChoice& proposed) {
    const QStringList filters = {QStringLiteral("Текстовый файл (*.txt)"),
                                 QStringLiteral("Microsoft Excel (*.xls *.xlsx)"),
                                 QStringLiteral("CSV, UTF-8 (*.csv)")};
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.value(proposed.filterIndex - 1, filters.front()));
    const QFileInfo file(proposed.fileName);
    if (proposed.fileName.contains(u'/'))
        dialog.setDirectory(file.absolutePath());
    dialog.selectFile(file.fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    TChoice choice;
    choice.fileName = dialog.selectedFiles().constFirst();
    choice.filterIndex = std::max<int>(1, int(filters.indexOf(dialog.selectedNameFilter())) + 1);
    return choice;
}

bool InstallQtTranslation() {
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral("qtbase_ru"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

} // namespace gui
