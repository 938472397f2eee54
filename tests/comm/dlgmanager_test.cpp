// SPDX-License-Identifier: MIT
// The connection dialog offscreen: selector, frame placement, Apply, the port list and the
// remote-machine field.
#include "comm/comtransport.h"
#include "comm/modbusmaster.h"
#include "comm/widgets/dlgmanager.h"
#include "comm/widgets/modbuspropsframe.h"
#include "comm/widgets/rspropsframe.h"
#include "platform/portname.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

class RecordingCommSink : public platform::IMessageSink {
public:
    void information(const QString& text) override { messages.append(text); }
    QStringList messages;
};

platform::SerialPortEntry port(const QString& name, bool vcp = false, const QString& device = {}) {
    platform::SerialPortEntry e;
    e.name = name;
    e.devicePath = device;
    e.number = platform::comPortNumber(name);
    e.virtualComPort = vcp;
    return e;
}

class DlgManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager.SetMessageSink(&sink);
        TRSPropsFrame::setPortSource([] {
            return QList<platform::SerialPortEntry>{port("COM2"),
                                                    port("COM10", false, "tcp://10.0.0.9:502"),
                                                    port("COM5", true), port("COM1")};
        });
    }
    void TearDown() override { TRSPropsFrame::setPortSource(nullptr); }

    TRSPropsFrame* rsFrame(TDlgManagerForm& f) {
        return dynamic_cast<TRSPropsFrame*>(f.TransportFrame());
    }

    TDlgManager manager;
    RecordingCommSink sink;
};

TEST_F(DlgManagerTest, OneTransportHidesSelectorAndFramesStartAtFour) {
    comm::TRS232Transport rs;
    rs.SetDlgManager(&manager);
    comm::TModbusMaster mbm;
    mbm.SetTransport(&rs);
    manager.SetMaster(&mbm);
    manager.SetShowMasterProps(true);

    TDlgManagerForm form;
    form.Prepare(&manager);
    EXPECT_TRUE(form.TransportListP->isHidden());
    ASSERT_NE(form.TransportFrame(), nullptr);
    ASSERT_NE(form.MasterFrame(), nullptr);
    EXPECT_EQ(form.TransportFrame()->geometry(), QRect(8, 4, 450, 155));
    EXPECT_EQ(form.MasterFrame()->geometry(), QRect(8, 159, 439, 97));
    EXPECT_EQ(form.size(), QSize(466, 159 + 97 + 41));
    EXPECT_EQ(form.ButtonsP->y(), 256);
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Настройка связи"));
}

TEST_F(DlgManagerTest, ManagerWithoutTransportsShowsOnlyButtonsAndApplyChangesNothing) {
    TDlgManagerForm form;
    form.Prepare(&manager);
    EXPECT_EQ(form.TransportFrame(), nullptr);
    EXPECT_EQ(form.size(), QSize(466, 4 + 41));
    form.btnApplyClick();
    EXPECT_TRUE(sink.messages.isEmpty());
    EXPECT_THROW(form.Prepare(nullptr), std::invalid_argument);
}

TEST_F(DlgManagerTest, ApplyMovesMasterToSelectedTransportAndWritesFrameArrays) {
    comm::TRS232Transport first, second;
    first.SetDisplayName(QString());
    first.setObjectName(QStringLiteral("RS232a"));
    second.SetDisplayName(QStringLiteral("Второй"));
    first.SetDlgManager(&manager);
    second.SetDlgManager(&manager);
    comm::TModbusMaster mbm;
    mbm.SetTransport(&first);
    manager.SetMaster(&mbm);
    manager.SetShowMasterProps(true);

    TDlgManagerForm form;
    form.Prepare(&manager);
    EXPECT_FALSE(form.TransportListP->isHidden());
    ASSERT_EQ(form.TransportListCB->count(), 2);
    EXPECT_EQ(form.TransportListCB->itemText(0), QStringLiteral("RS232a"));
    EXPECT_EQ(form.TransportListCB->itemText(1), QStringLiteral("Второй"));
    EXPECT_EQ(form.TransportFrame()->y(), 33);

    form.TransportListCB->setCurrentIndex(1);
    form.TransportListCBChange();
    TRSPropsFrame* rs = rsFrame(form);
    ASSERT_NE(rs, nullptr);
    rs->SpeedCB->setCurrentIndex(7);
    rs->FlowControlCB->setCurrentIndex(1);
    rs->AnswerDelayE->setText(QStringLiteral("750"));
    rs->ByteTimeoutE->setText(QStringLiteral("25"));
    rs->RetriesE->setText(QStringLiteral("3"));
    rs->PortCB->setCurrentIndex(rs->PortCB->findText(QStringLiteral("COM10")));
    auto* mb = dynamic_cast<TModbusPropsFrame*>(form.MasterFrame());
    ASSERT_NE(mb, nullptr);
    mb->AddrUD->setValue(17);
    mb->ParityRG->setItemIndex(2);

    form.btnApplyClick();
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.messages.join(u'|').toStdString();
    EXPECT_EQ(mbm.Transport(), &second);
    EXPECT_EQ(mbm.DeviceAddress(), 17);
    EXPECT_EQ(mbm.Parity(), comm::mpEven);
    EXPECT_EQ(second.Port(), QStringLiteral("COM10"));
    EXPECT_EQ(second.Speed(), comm::cts115200);
    EXPECT_EQ(second.FlowControl(), comm::fcHardware);
    EXPECT_EQ(second.AnswerDelay(), 750);
    EXPECT_EQ(second.ByteTimeout(), 25);
    EXPECT_EQ(second.Retries(), 3);
    EXPECT_EQ(first.AnswerDelay(), 500);
}

TEST_F(DlgManagerTest, PortListSortedAsTextWithVcpAndUnknownPortsWrittenBackUnchanged) {
    comm::TRS232Transport rs;
    rs.SetDlgManager(&manager);
    struct Case {
        QString port;
        QString shown;
        QString written;
    } cases[] = {
        {"COM7", "COM7", "COM7"},       // unknown to the system: added
        {"COM5", "COM5 - VCP", "COM5"}, // USB adapter
        {"COM10", "COM10", "COM10"},
        // No port by the COMn rule (as the settings array may carry it): kept as it is.
        {"COM$A", "COM$A", "COM$A"},
        {"COM1 ", "COM1 ", "COM1 "},
        {"tcp://10.0.0.5:502", "tcp://10.0.0.5:502", "tcp://10.0.0.5:502"}, // a network endpoint
    };
    for (const Case& c : cases) {
        QVariantList props = rs.GetProps().toList();
        props[1] = c.port;
        rs.SetProps(props);
        TDlgManagerForm form;
        form.Prepare(&manager);
        TRSPropsFrame* f = rsFrame(form);
        ASSERT_NE(f, nullptr);
        QStringList items;
        for (int i = 0; i < 4; ++i)
            items << f->PortCB->itemText(i);
        EXPECT_EQ(items, (QStringList{"COM1", "COM10", "COM2", "COM5 - VCP"}));
        // A port mapped to a network endpoint names it in its tooltip.
        EXPECT_EQ(f->PortCB->itemData(1, Qt::ToolTipRole).toString(), "tcp://10.0.0.9:502");
        EXPECT_EQ(f->PortCB->currentText(), c.shown);
        form.btnApplyClick();
        EXPECT_EQ(rs.Port(), c.written);
    }
    EXPECT_TRUE(sink.messages.isEmpty());
}

TEST_F(DlgManagerTest, UntickingRemoteServerGreysMachineNameButKeepsItsText) {
    comm::TRS232Transport rs;
    rs.SetDlgManager(&manager);
    rs.SetRemoteMachineName(QStringLiteral("plant-pc"));
    rs.SetUseDCOM(true);
    TDlgManagerForm form;
    form.Prepare(&manager);
    TRSPropsFrame* f = rsFrame(form);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->MachineNameE->isEnabled());
    f->UseDCOMCB->click();
    EXPECT_FALSE(f->MachineNameE->isEnabled());
    EXPECT_EQ(f->MachineNameE->palette().color(QPalette::Disabled, QPalette::Text),
              QColor(128, 128, 128));
    EXPECT_EQ(f->MachineNameE->text(), QStringLiteral("plant-pc"));
    form.btnApplyClick();
    EXPECT_FALSE(rs.UseDCOM());
    EXPECT_EQ(rs.RemoteMachineName(), QStringLiteral("plant-pc"));
    EXPECT_EQ(rs.Props().toList().value(7).toString(), QStringLiteral("plant-pc"));
}

TEST_F(DlgManagerTest, NonIntegerEditStopsApplyWithConversionMessage) {
    comm::TRS232Transport a, b;
    a.SetDlgManager(&manager);
    b.SetDlgManager(&manager);
    comm::TModbusMaster mbm;
    mbm.SetTransport(&a);
    manager.SetMaster(&mbm);
    TDlgManagerForm form;
    form.Prepare(&manager);
    form.TransportListCB->setCurrentIndex(1);
    form.TransportListCBChange();
    TRSPropsFrame* f = rsFrame(form);
    f->AnswerDelayE->setText(QStringLiteral("12x"));
    f->RetriesE->setText(QStringLiteral("4"));
    form.btnApplyClick();
    EXPECT_EQ(sink.messages, QStringList{QStringLiteral("'12x' is not a valid integer value")});
    EXPECT_EQ(b.AnswerDelay(), 500);
    EXPECT_EQ(b.Retries(), 10);
    // The master's move came before the failing frame and stays.
    EXPECT_EQ(mbm.Transport(), &b);
}

TEST_F(DlgManagerTest, SpeedWithoutItemIsKeptAndOkAppliesThroughExecute) {
    comm::TRS232Transport rs;
    rs.SetDlgManager(&manager);
    rs.SetSpeed(comm::cts600);
    bool seen = false;
    QTimer::singleShot(0, [&] {
        auto* form = qobject_cast<TDlgManagerForm*>(QApplication::activeModalWidget());
        ASSERT_NE(form, nullptr);
        TRSPropsFrame* f = dynamic_cast<TRSPropsFrame*>(form->TransportFrame());
        seen = f && f->SpeedCB->currentIndex() == -1;
        f->ByteTimeoutE->setText(QStringLiteral("40"));
        form->btnOk->click();
    });
    EXPECT_TRUE(manager.Execute());
    EXPECT_TRUE(seen);
    EXPECT_EQ(rs.Speed(), comm::cts600);
    EXPECT_EQ(rs.ByteTimeout(), 40);
}

TEST_F(DlgManagerTest, DestroyedComponentsLeaveTheManager) {
    auto rs = std::make_unique<comm::TRS232Transport>();
    auto mbm = std::make_unique<comm::TModbusMaster>();
    rs->SetDlgManager(&manager);
    manager.SetMaster(mbm.get());
    EXPECT_EQ(manager.TransportsCount(), 1);
    rs.reset();
    mbm.reset();
    EXPECT_EQ(manager.TransportsCount(), 0);
    EXPECT_EQ(manager.Master(), nullptr);
}

// What a control shows as its caption: a label's or a button's text, a group's title.
QString captionOf(const QWidget* w) {
    if (const auto* l = qobject_cast<const QLabel*>(w))
        return l->text();
    if (const auto* b = qobject_cast<const QAbstractButton*>(w))
        return b->text();
    if (const auto* g = qobject_cast<const QGroupBox*>(w))
        return g->title();
    return {};
}

TEST(SettingsForms, ControlsKeepTheirNamesCaptionsAndPlaces) {
    TRSPropsFrame rs;
    TDlgManagerForm dialog;
    const struct {
        const QWidget* form;
        const char* name;
        QRect geometry;
        const char* caption;
    } cases[] = {
        {&rs, "GroupBox1", {0, 0, 450, 155}, "Параметры транспорта"},
        {&rs, "lbCOM", {8, 20, 150, 21}, "COM-порт"},
        {&rs, "PortCB", {160, 20, 110, 21}, ""},
        {&rs, "lbSpeed", {8, 46, 150, 21}, "Скорость обмена, бит/с"},
        {&rs, "SpeedCB", {160, 46, 110, 21}, ""},
        {&rs, "FlowControlL", {8, 72, 150, 21}, "Управление потоком"},
        {&rs, "FlowControlCB", {160, 72, 110, 21}, ""},
        {&rs, "LastByteTimeL", {8, 72, 150, 21}, "Время последнего байта, мс"},
        {&rs, "LastByteTimeE", {160, 72, 110, 21}, ""},
        {&rs, "UseDCOMCB", {8, 98, 262, 21}, "Использовать DCOM"},
        {&rs, "lbRemotePCName", {8, 124, 150, 21}, "Имя удаленного компьютера"},
        {&rs, "MachineNameE", {160, 124, 110, 21}, ""},
        {&rs, "lbAnswerDelay", {284, 16, 158, 17}, "Ожидание ответа, мс"},
        {&rs, "AnswerDelayE", {284, 33, 158, 21}, ""},
        {&rs, "lbRetriesCount", {284, 60, 158, 17}, "Количество повторов"},
        {&rs, "RetriesE", {284, 77, 158, 21}, ""},
        {&rs, "lbByteTimeout", {284, 104, 158, 17}, "Байтовый таймаут, мс"},
        {&rs, "ByteTimeoutE", {284, 121, 158, 21}, ""},
        {&dialog, "TransportListP", {0, 0, 466, 33}, ""},
        {&dialog, "lbChoiceTransport", {8, 8, 120, 16}, "Выбор транспорта:"},
        {&dialog, "TransportListCB", {133, 5, 200, 21}, ""},
        {&dialog, "ButtonsP", {0, 33, 466, 41}, ""},
        {&dialog, "btnOk", {183, 8, 83, 25}, "OK"},
        {&dialog, "btnApply", {272, 8, 83, 25}, "Применить"},
        {&dialog, "btnCancel", {360, 8, 83, 25}, "Отмена"},
    };
    for (const auto& c : cases) {
        const auto* w = c.form->findChild<const QWidget*>(QString::fromLatin1(c.name));
        ASSERT_NE(w, nullptr) << c.name;
        EXPECT_EQ(w->geometry(), c.geometry) << c.name;
        EXPECT_EQ(captionOf(w), QString::fromUtf8(c.caption)) << c.name;
    }
    EXPECT_EQ(rs.objectName(), QStringLiteral("RSPropsFrame"));
    EXPECT_EQ(rs.size(), QSize(450, 155));
    EXPECT_EQ(rs.SpeedCB->itemText(7), QStringLiteral("115200"));
    EXPECT_EQ(rs.FlowControlCB->itemText(1), QStringLiteral("Аппаратное"));
    EXPECT_TRUE(rs.FlowControlL->isHidden() && rs.LastByteTimeE->isHidden());
    EXPECT_EQ(dialog.objectName(), QStringLiteral("DlgManagerForm"));
}

} // namespace
