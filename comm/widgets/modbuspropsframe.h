// SPDX-License-Identifier: MIT
#pragma once

#include "comm/widgets/basepropsframe.h"
#include "platform/widgets/radiogroup.h"

#include <QGroupBox>

class QLabel;
class QLineEdit;
class QSpinBox;

// Settings of a Modbus master: device address, mode, parity. Array: 0 address, 1 mode item
// index, 2 parity item index (all 32-bit signed).
class TModbusPropsFrame : public TBasePropsFrame {
    Q_OBJECT
public:
    explicit TModbusPropsFrame(QWidget* parent = nullptr);

    QVariant GetProps() override;
    void SetProps(const QVariant& AProps) override;
    void SetButtons() override {}

    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QSpinBox* AddrUD = nullptr;
    platform::TRadioGroup* ModeRG = nullptr;
    platform::TRadioGroup* ParityRG = nullptr;
};
