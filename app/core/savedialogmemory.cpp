// SPDX-License-Identifier: MIT
#include "app/core/savedialogmemory.h"

#include <QDir>
#include <QFileInfo>

namespace core {

namespace {
int KnownFilter(const std::optional<int>& index) {
    return index && *index >= 1 && *index <= 3 ? *index : 1;
}
} // namespace

TSaveDialogMemory TSaveDialogMemory::FromSettings(const std::optional<QString>& folder,
                                                  const std::optional<int>& filterIndex) {
    TSaveDialogMemory m;
    m.folder = folder.value_or(QString());
    m.filterIndex = KnownFilter(filterIndex);
    return m;
}

QString TSaveDialogMemory::ProposedPath(const QString& name) const {
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return name;
    return QDir(folder).filePath(name);
}

void TSaveDialogMemory::Remember(const QString& fileName, int chosenFilter) {
    folder = QFileInfo(fileName).absolutePath();
    filterIndex = KnownFilter(chosenFilter);
}

} // namespace core
