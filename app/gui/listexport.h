// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"

#include <QString>

namespace platform {
class IMessageSink;
} // namespace platform
class QWidget;

namespace core {
class IStringGrid;
struct TSaveDialogMemory;
} // namespace core

namespace gui {

class ISaveFileChooser;

// What "Сохранить..." talks to: the save dialog over the window, its memory and the message boxes.
struct TListExportUi {
    QWidget* parent = nullptr;
    ISaveFileChooser& dialog;
    core::TSaveDialogMemory& memory;
    platform::IMessageSink& messages;
};

// "Сохранить...": asks for a file (proposing `proposedName` in the remembered folder) and writes
// the linear list there as a text file, a workbook or CSV. A workbook that would replace an
// existing file is written only when the user says so; a failed write is an error box, a note of
// the writer an information box.
void SaveLinearList(const TListExportUi& ui, const core::IStringGrid& list,
                    const QString& deviceText, TTypeDev layout, const QString& proposedName);

} // namespace gui
