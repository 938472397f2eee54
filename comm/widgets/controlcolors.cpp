// SPDX-License-Identifier: MIT
#include "comm/widgets/controlcolors.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QColor>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>

namespace commwidgets {

void SetControlFontColor(QWidget* AControl, const QColor& AColor) {
    if (!AControl)
        return;
    const bool hasText = qobject_cast<QLineEdit*>(AControl) || qobject_cast<QLabel*>(AControl) ||
                         qobject_cast<QComboBox*>(AControl) ||
                         qobject_cast<QAbstractButton*>(AControl) ||
                         qobject_cast<QAbstractSpinBox*>(AControl);
    if (!hasText)
        return;
    QPalette pal = AControl->palette();
    // The disabled group too: a greyed edit shows the grey, not the style's own.
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(group, QPalette::Text, AColor);
        pal.setColor(group, QPalette::WindowText, AColor);
        pal.setColor(group, QPalette::ButtonText, AColor);
    }
    AControl->setPalette(pal);
}

void SetEditEnabled(QWidget* AEdit, bool AEnabled) {
    if (!AEdit)
        return;
    AEdit->setEnabled(AEnabled);
    SetControlFontColor(AEdit, AEnabled ? QColor(0, 0, 0) : QColor(128, 128, 128));
}

} // namespace commwidgets
