// SPDX-License-Identifier: MIT
#include "app/core/savedialogmemory.h"

#include <QDir>
#include <QFileInfo>

namespace core {

TSaveDialogMemory TSaveDialogMemory::FromSettings(const std::optional<QString>& folder,
                                                  const std::optional<int>& filterIndex) {
    TSaveDialogMemory m;
    m.folder = folder.value_or(QString());
    m.filterIndex = filterIndex == 2 ? 2 : 1;
    return m;
}

QString TSaveDialogMemory::ProposedPath(const QString& name) const {
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return name;
    return QDir(folder).filePath(name);
}

void TSaveDialogMemory::Remember(const QString& fileName, int chosenFilter) {
    folder = QFileInfo(fileName).absolutePath();
    filterIndex = chosenFilter == 2 ? 2 : 1;
}

} // namespace core
