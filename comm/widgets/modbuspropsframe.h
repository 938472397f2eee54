#pragma once

#include "comm/widgets/basepropsframe.h"

#include <QGroupBox>
#include <QList>

class QLabel;
class QLineEdit;
class QRadioButton;
class QSpinBox;

// A titled group of radio buttons laid out in columns, addressed by item index (-1 = none).
class TPropsRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    TPropsRadioGroup(const QString& caption, const QStringList& items, int columns,
                     QWidget* parent = nullptr);
    int itemIndex() const;
    void setItemIndex(int index);
    int count() const { return int(m_buttons.size()); }

private:
    QList<QRadioButton*> m_buttons;
};

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
    TPropsRadioGroup* ModeRG = nullptr;
    TPropsRadioGroup* ParityRG = nullptr;
};
