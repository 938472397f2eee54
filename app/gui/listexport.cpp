// SPDX-License-Identifier: MIT
#include "app/gui/listexport.h"

#include "app/core/journalexport.h"
#include "app/core/savedialogmemory.h"
#include "app/gui/savefilechooser.h"
#include "platform/messagesink.h"

namespace gui {

void SaveLinearList(const TListExportUi& ui, const core::IStringGrid& list,
                    const QString& deviceText, TTypeDev layout, const QString& proposedName) {
    const auto choice =
        ui.dialog.choose(ui.parent, {ui.memory.ProposedPath(proposedName), ui.memory.filterIndex});
    if (!choice)
        return;
    ui.memory.Remember(choice->fileName, choice->filterIndex);
    const auto format = static_cast<core::TExportFormat>(choice->filterIndex);
    const QString question = format == core::TExportFormat::Spreadsheet
                                 ? core::WorkbookReplaceQuestion(choice->fileName)
                                 : QString();
    if (!question.isEmpty() && !ui.messages.question(question))
        return;
    const core::ExportResult result =
        core::ExportFile(format, list, deviceText, layout, choice->fileName);
    if (!result.ok)
        ui.messages.error(result.error);
    else if (!result.notice.isEmpty() && question.isEmpty())
        ui.messages.information(result.notice);
}

} // namespace gui
