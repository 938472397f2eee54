#include "comm/widgets/modbuspropsframe.h"

#include "comm/commtypes.h"

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

    ModeRG = new TRadioGroup(QStringLiteral("Режим работы"),
                             {QStringLiteral("RTU"), QStringLiteral("ASCII")}, 2, GroupBox1);
    ModeRG->setObjectName(QStringLiteral("ModeRG"));
    ModeRG->setGeometry(136, 16, 130, 48);
    ParityRG = new TRadioGroup(
        QStringLiteral("Четность"),
        {QStringLiteral("Нет"), QStringLiteral("Нечет"), QStringLiteral("Чет")}, 3, GroupBox1);
    ParityRG->setObjectName(QStringLiteral("ParityRG"));
    ParityRG->setGeometry(276, 16, 155, 48);
}

QVariant TModbusPropsFrame::GetProps() {
    return QVariantList{QVariant::fromValue(qint32(AddrUD->value())),
                        QVariant::fromValue(qint32(ModeRG->itemIndex())),
                        QVariant::fromValue(qint32(ParityRG->itemIndex()))};
}

void TModbusPropsFrame::SetProps(const QVariant& AProps) {
    const QVariantList p = AProps.toList();
    if (p.size() < 3)
        throw comm::EConvertError(QStringLiteral("the settings array needs 3 elements"));
    AddrUD->setValue(p[0].toInt());
    ModeRG->setItemIndex(p[1].toInt());
    ParityRG->setItemIndex(p[2].toInt());
}
