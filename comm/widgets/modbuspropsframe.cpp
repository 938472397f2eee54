// SPDX-License-Identifier: MIT
#include "comm/widgets/modbuspropsframe.h"

#include "comm/commtypes.h"
#include "comm/ipc/settingsarrays.h"

#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>

TModbusPropsFrame::TModbusPropsFrame(QWidget* parent) : TBasePropsFrame(parent) {
    setObjectName(QStringLiteral("ModbusPropsFrame"));
    setFixedSize(439, 97);
    GroupBox1 = new QGroupBox(QStringLiteral("Параметры ModBus"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(0, 0, 439, 97);

    Label1 = new QLabel(QStringLiteral("Адрес устройства"), GroupBox1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(12, 22, 110, 16);
    AddrUD = new QSpinBox(GroupBox1);
    AddrUD->setObjectName(QStringLiteral("AddrUD"));
    AddrUD->setRange(0, 255);
    AddrUD->setGeometry(12, 40, 90, 22);
    // The up-down control edits its own text box; that box is the address edit.
    Edit1 = AddrUD->findChild<QLineEdit*>();
    if (Edit1)
        Edit1->setObjectName(QStringLiteral("Edit1"));

    ModeRG =
        new platform::TRadioGroup(QStringLiteral("Режим работы"),
                                  {QStringLiteral("RTU"), QStringLiteral("ASCII")}, 2, GroupBox1);
    ModeRG->setObjectName(QStringLiteral("ModeRG"));
    ModeRG->setGeometry(136, 16, 130, 48);
    ParityRG = new platform::TRadioGroup(
        QStringLiteral("Четность"),
        {QStringLiteral("Нет"), QStringLiteral("Нечет"), QStringLiteral("Чет")}, 3, GroupBox1);
    ParityRG->setObjectName(QStringLiteral("ParityRG"));
    ParityRG->setGeometry(276, 16, 155, 48);
}

QVariant TModbusPropsFrame::GetProps() {
    using L = comm::ipc::MasterPropsArray;
    QVariantList p(L::Size);
    p[L::DeviceAddress] = QVariant::fromValue(qint32(AddrUD->value()));
    p[L::Mode] = QVariant::fromValue(qint32(ModeRG->itemIndex()));
    p[L::Parity] = QVariant::fromValue(qint32(ParityRG->itemIndex()));
    return p;
}

void TModbusPropsFrame::SetProps(const QVariant& AProps) {
    using L = comm::ipc::MasterPropsArray;
    const QVariantList p = comm::propsElements(AProps, L::Size);
    AddrUD->setValue(p[L::DeviceAddress].toInt());
    ModeRG->setItemIndex(p[L::Mode].toInt());
    ParityRG->setItemIndex(p[L::Parity].toInt());
}
