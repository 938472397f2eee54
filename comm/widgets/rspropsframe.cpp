// SPDX-License-Identifier: MIT
#include "comm/widgets/rspropsframe.h"

#include "comm/ipc/settingsarrays.h"
#include "comm/ipc/speeds.h"
#include "comm/widgets/controlcolors.h"
#include "platform/endpoint.h"
#include "platform/portname.h"

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

} // namespace

void TRSPropsFrame::setPortSource(std::function<QList<platform::SerialPortEntry>()> source) {
    portSource() = std::move(source);
}

TRSPropsFrame::TRSPropsFrame(QWidget* parent) : TBasePropsFrame(parent) {
    setupUi(this);
    // The speed items are the speed ordinals' baud rates.
    for (int i = 0; i < comm::ipc::kSpeedItemCount; ++i)
        SpeedCB->addItem(QString::number(comm::ipc::kBaudRates[std::size_t(i)]));
    connect(UseDCOMCB, &QCheckBox::clicked, this, &TRSPropsFrame::UseDCOMCBClick);
    FillPortList();
}

void TRSPropsFrame::FillPortList() {
    const QList<platform::SerialPortEntry> ports =
        portSource() ? portSource()() : platform::PortList::available();
    struct Item {
        QString text;
        int number;
        QString tip; // a network endpoint the name is mapped to
    };
    std::vector<Item> items;
    for (const platform::SerialPortEntry& p : ports) {
        Item item{p.name, platform::comPortNumber(p.name),
                  platform::isNetworkEndpoint(p.devicePath) ? p.devicePath : QString()};
        if (p.virtualComPort)
            item.text += QStringLiteral(" - VCP");
        items.push_back(item);
    }
    // Sorted as text, so COM10 comes before COM2.
    std::stable_sort(items.begin(), items.end(),
                     [](const Item& a, const Item& b) { return a.text < b.text; });
    PortCB->clear();
    for (const Item& item : items) {
        PortCB->addItem(item.text, QVariant::fromValue(quint8(item.number)));
        if (!item.tip.isEmpty())
            PortCB->setItemData(PortCB->count() - 1, item.tip, Qt::ToolTipRole);
    }
    PortCB->setCurrentIndex(-1);
}

int TRSPropsFrame::PortNumberAt(int index) const {
    return PortCB->itemData(index).toInt();
}

QString TRSPropsFrame::SelectedPortName() const {
    const int i = PortCB->currentIndex();
    // A text typed over the selected item is what the user means.
    if (i >= 0 && PortCB->currentText() == PortCB->itemText(i) && PortNumberAt(i) != 0)
        return platform::comPortName(PortNumberAt(i));
    return PortCB->currentText();
}

void TRSPropsFrame::SetProps(const QVariant& AProps) {
    using L = comm::ipc::TransportPropsArray;
    using Other = comm::ipc::OtherTransportPropsArray;
    const QVariantList p = comm::propsElements(AProps, L::Size);
    FTransportType = comm::TTransportType(p[L::Type].toInt());

    // A name that is no port by the COMn rule gets an item of its own, kept as it is.
    const QString port = p[L::Port].toString();
    const int number = platform::comPortNumber(port);
    int found = -1;
    for (int i = 0; i < PortCB->count() && found < 0; ++i)
        if (number != 0 ? PortNumberAt(i) == number : PortCB->itemText(i) == port)
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
