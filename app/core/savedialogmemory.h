// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <optional>

// What the export's save dialog remembers: the folder and the filter of the last save, while the
// program runs and, through main.ini ([SaveDialog] Folder and Filter), across starts.
namespace core {

struct TSaveDialogMemory {
    QString folder;      // empty: nothing saved yet (the dialog opens in the working folder)
    int filterIndex = 1; // 1 = "Текстовый файл", 2 = "Microsoft Excel", 3 = CSV

    // The memory kept in main.ini; a filter other than 1, 2 or 3 reads as 1.
    static TSaveDialogMemory FromSettings(const std::optional<QString>& folder,
                                          const std::optional<int>& filterIndex);

    // The file the dialog proposes: `name` in the remembered folder while that folder exists,
    // else `name` alone.
    QString ProposedPath(const QString& name) const;

    // Takes the folder and the filter of a chosen file.
    void Remember(const QString& fileName, int chosenFilter);
};

} // namespace core
