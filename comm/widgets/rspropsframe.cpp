#include "comm/widgets/rspropsframe.h"

#include "comm/ipc/settingsarrays.h"
#include "comm/ipc/speeds.h"
#include "comm/widgets/controlcolors.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>

#include <algorithm>

namespace {

std::function<QList<platform::SerialPortEntry>()>& portSource() {
    static std::function<QList<platform::SerialPortEntry>()> f;
    return f;
}

constexpr int kPortNumberRole = Qt::UserRole + 1;

qint32 editInt(const QLineEdit* edit) {
    bool ok = false;
    const qint32 v = edit->text().toInt(&ok, 10);
    if (!ok)
        throw comm::EConvertError(
            QStringLiteral("'%1' is not a valid integer value").arg(edit->text()));
    return v;
}

QLabel* label(const QString& text, const char* name, QWidget* parent, QRect r) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(r);
    return l;
}

QLineEdit* edit(const char* name, QWidget* parent, QRect r) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setGeometry(r);
    return e;
}

} // namespace

void TRSPropsFrame::setPortSource(std::function<QList<platform::SerialPortEntry>()> source) {
    portSource() = std::move(source);
}

TRSPropsFrame::TRSPropsFrame(QWidget* parent) : TBasePropsFrame(parent) {
    setObjectName(QStringLiteral("RSPropsFrame"));
    setFixedSize(450, 155);
    GroupBox1 = new QGroupBox(QStringLiteral("Параметры транспорта"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(0, 0, 450, 155);
    QWidget* g = GroupBox1;

    // Left column: label on the left, control on the right, one row every 26 pixels.
    lbCOM = label(QStringLiteral("COM-порт"), "lbCOM", g, {8, 20, 150, 21});
    PortCB = new QComboBox(g);
    PortCB->setObjectName(QStringLiteral("PortCB"));
    PortCB->setEditable(true);
    PortCB->setInsertPolicy(QComboBox::NoInsert);
    PortCB->setGeometry(160, 20, 110, 21);

    lbSpeed = label(QStringLiteral("Скорость обмена, бит/с"), "lbSpeed", g, {8, 46, 150, 21});
    lbSpeed->setToolTip(QStringLiteral("Выбор скорости передачи"));
    SpeedCB = new QComboBox(g);
    SpeedCB->setObjectName(QStringLiteral("SpeedCB"));
    SpeedCB->setEditable(false);
    for (int i = 0; i < comm::ipc::kSpeedItemCount; ++i)
        SpeedCB->addItem(QString::number(comm::ipc::kBaudRates[std::size_t(i)]));
    SpeedCB->setToolTip(QStringLiteral("Выбор скорости передачи"));
    SpeedCB->setGeometry(160, 46, 110, 21);

    FlowControlL = label(QStringLiteral("Управление потоком"), "FlowControlL", g, {8, 72, 150, 21});
    FlowControlCB = new QComboBox(g);
    FlowControlCB->setObjectName(QStringLiteral("FlowControlCB"));
    FlowControlCB->addItems({QStringLiteral("Нет"), QStringLiteral("Аппаратное")});
    FlowControlCB->setGeometry(160, 72, 110, 21);
    LastByteTimeL =
        label(QStringLiteral("Время последнего байта, мс"), "LastByteTimeL", g, {8, 72, 150, 21});
    LastByteTimeE = edit("LastByteTimeE", g, {160, 72, 110, 21});
    for (QWidget* w : {static_cast<QWidget*>(FlowControlL), static_cast<QWidget*>(FlowControlCB),
                       static_cast<QWidget*>(LastByteTimeL), static_cast<QWidget*>(LastByteTimeE)})
        w->hide();

    UseDCOMCB = new QCheckBox(QStringLiteral("Использовать DCOM"), g);
    UseDCOMCB->setObjectName(QStringLiteral("UseDCOMCB"));
    UseDCOMCB->setGeometry(8, 98, 262, 21);
    lbRemotePCName =
        label(QStringLiteral("Имя удаленного компьютера"), "lbRemotePCName", g, {8, 124, 150, 21});
    lbRemotePCName->setToolTip(QStringLiteral("Имя удаленного компьютера"));
    MachineNameE = edit("MachineNameE", g, {160, 124, 110, 21});
    MachineNameE->setToolTip(QStringLiteral("Имя удаленного компьютера"));

    // Right column: label above its edit.
    lbAnswerDelay =
        label(QStringLiteral("Ожидание ответа, мс"), "lbAnswerDelay", g, {284, 16, 158, 17});
    AnswerDelayE = edit("AnswerDelayE", g, {284, 33, 158, 21});
    lbRetriesCount =
        label(QStringLiteral("Количество повторов"), "lbRetriesCount", g, {284, 60, 158, 17});
    RetriesE = edit("RetriesE", g, {284, 77, 158, 21});
    lbByteTimeout =
        label(QStringLiteral("Байтовый таймаут, мс"), "lbByteTimeout", g, {284, 104, 158, 17});
    ByteTimeoutE = edit("ByteTimeoutE", g, {284, 121, 158, 21});

    connect(UseDCOMCB, &QCheckBox::clicked, this, &TRSPropsFrame::UseDCOMCBClick);
    FillPortList();
}

void TRSPropsFrame::FillPortList() {
    const QList<platform::SerialPortEntry> ports =
        portSource() ? portSource()() : platform::PortList::available();
    struct Item {
        QString text;
        int number;
    };
    std::vector<Item> items;
    for (const platform::SerialPortEntry& p : ports) {
        Item item{p.name, ParsePortNumber(p.name)};
        if (p.virtualComPort)
            item.text += QStringLiteral(" - VCP");
        items.push_back(item);
    }
    // Sorted as text, so COM10 comes before COM2.
    std::stable_sort(items.begin(), items.end(),
                     [](const Item& a, const Item& b) { return a.text < b.text; });
    PortCB->clear();
    for (const Item& item : items)
        PortCB->addItem(item.text, QVariant::fromValue(quint8(item.number)));
    PortCB->setCurrentIndex(-1);
}

int TRSPropsFrame::ParsePortNumber(const QString& text) {
    if (text.size() <= 3)
        return 1;
    bool ok = false;
    const qint64 n = text.mid(3).toLongLong(&ok, 10);
    if (!ok || n < INT32_MIN || n > INT32_MAX)
        return 1;
    return int(quint8(n & 0xFF));
}

int TRSPropsFrame::PortNumberAt(int index) const {
    return PortCB->itemData(index).toInt();
}

QString TRSPropsFrame::SelectedPortName() const {
    const int i = PortCB->currentIndex();
    // A text typed over the selected item is what the user means.
    if (i >= 0 && PortCB->currentText() == PortCB->itemText(i))
        return QStringLiteral("COM") + QString::number(PortNumberAt(i));
    return PortCB->currentText();
}

void TRSPropsFrame::SetProps(const QVariant& AProps) {
    using L = comm::ipc::TransportPropsArray;
    using Other = comm::ipc::OtherTransportPropsArray;
    const QVariantList p = comm::propsElements(AProps, L::Size);
    FTransportType = comm::TTransportType(p[L::Type].toInt());

    const QString port = p[L::Port].toString();
    const int number = ParsePortNumber(port);
    int found = -1;
    for (int i = 0; i < PortCB->count() && found < 0; ++i)
        if (PortNumberAt(i) == number)
            found = i;
    if (found < 0) {
        PortCB->addItem(port, QVariant::fromValue(quint8(number)));
        found = PortCB->count() - 1;
    }
    PortCB->setCurrentIndex(found);

    m_loadedSpeed = p[L::Speed].toInt();
    SpeedCB->setCurrentIndex(m_loadedSpeed >= 0 && m_loadedSpeed < SpeedCB->count() ? m_loadedSpeed
                                                                                    : -1);

    const bool rs232 = FTransportType == comm::ttRS232;
    FlowControlL->setVisible(rs232);
    FlowControlCB->setVisible(rs232);
    // Other types use the last-byte time; it takes the row flow control leaves free.
    LastByteTimeL->setVisible(!rs232);
    LastByteTimeE->setVisible(!rs232);
    const auto setNumber = [&p](QLineEdit* edit, int index) {
        edit->setText(QString::number(p[index].toInt()));
    };
    if (rs232) {
        FlowControlCB->setCurrentIndex(p[L::FlowControl].toInt());
        setNumber(AnswerDelayE, L::AnswerDelay);
        setNumber(ByteTimeoutE, L::ByteTimeout);
        setNumber(RetriesE, L::Retries);
    } else {
        setNumber(AnswerDelayE, Other::AnswerDelay);
        setNumber(ByteTimeoutE, Other::ByteTimeout);
        setNumber(RetriesE, Other::Retries);
        setNumber(LastByteTimeE, Other::LastByteTime);
    }
    MachineNameE->setText(p[L::RemoteMachineName].toString());
    UseDCOMCB->setChecked(p[L::UseDCOM].toBool());
    SetButtons();
}

QVariant TRSPropsFrame::GetProps() {
    using L = comm::ipc::TransportPropsArray;
    using Other = comm::ipc::OtherTransportPropsArray;
    const auto i4 = [](qint32 v) { return QVariant::fromValue(v); };
    QVariantList p(L::Size);
    p[L::Type] = QVariant::fromValue(quint8(FTransportType));
    p[L::Port] = SelectedPortName();
    p[L::Speed] = i4(SpeedCB->currentIndex() >= 0 ? SpeedCB->currentIndex() : m_loadedSpeed);
    // Converted in array order, so that the first edit without an integer is the one named.
    if (FTransportType == comm::ttRS232) {
        p[L::FlowControl] = i4(FlowControlCB->currentIndex());
        p[L::AnswerDelay] = i4(editInt(AnswerDelayE));
        p[L::ByteTimeout] = i4(editInt(ByteTimeoutE));
        p[L::Retries] = i4(editInt(RetriesE));
    } else {
        p[Other::AnswerDelay] = i4(editInt(AnswerDelayE));
        p[Other::ByteTimeout] = i4(editInt(ByteTimeoutE));
        p[Other::Retries] = i4(editInt(RetriesE));
        p[Other::LastByteTime] = i4(editInt(LastByteTimeE));
    }
    p[L::RemoteMachineName] = MachineNameE->text();
    p[L::UseDCOM] = UseDCOMCB->isChecked();
    return p;
}

void TRSPropsFrame::SetButtons() {
    commwidgets::SetEditEnabled(MachineNameE, UseDCOMCB->isChecked());
}

void TRSPropsFrame::UseDCOMCBClick() {
    SetButtons();
}
