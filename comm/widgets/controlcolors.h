// SPDX-License-Identifier: MIT
#pragma once

class QColor;
class QWidget;

namespace commwidgets {

// Text colour of a control (the colour its font is drawn with); controls without text keep
// theirs.
void SetControlFontColor(QWidget* AControl, const QColor& AColor);
// Enables or disables an edit; its text turns black when enabled and grey (128, 128, 128)
// when disabled. The text itself stays.
void SetEditEnabled(QWidget* AEdit, bool AEnabled);

} // namespace commwidgets
