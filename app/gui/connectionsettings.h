// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/catalogue.h"

namespace Ui {
class TForm1;
}

// The connection controls of the main window and the [Settings] of main.ini: restored at
// start-up, written back on exit.
namespace gui::connectionsettings {

// Port (the last one when it is listed, by its exact text), speed item, address and link type.
void Restore(Ui::TForm1& ui, const core::TConnectionSettings& settings);

// The controls' part of the settings: port, speed item, address (none when the box holds no
// integer, so that main.ini keeps its value), device item and link type.
void Store(const Ui::TForm1& ui, core::TConnectionSettings& settings);

} // namespace gui::connectionsettings
