// The connection dialog offscreen: selector, frame placement, Apply, the port list and the
// remote-machine field.
#include "comm/comtransport.h"
#include "comm/modbusmaster.h"
#include "comm/widgets/dlgmanager.h"
#include "comm/widgets/modbuspropsframe.h"
#include "comm/widgets/rspropsframe.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

class RecordingCommSink : public comm::IMessageSink {
public:
    RecordingCommSink() { m_previous = comm::setMessageSink(this); }
    ~RecordingCommSink() override { comm::setMessageSink(m_previous); }
    void information(const QString& text) override { messages.append(text); }
    QStringList messages;

private:
    comm::IMessageSink* m_previous = nullptr;
};

platform::SerialPortEntry port(const QString& name, bool vcp = false) {
    platform::SerialPortEntry e;
    e.name = name;
    e.number = platform::comNumberFromName(name);
    e.virtualComPort = vcp;
    return e;
}

class DlgManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        TRSPropsFrame::setPortSource([] {
            return QList<platform::SerialPortEntry>{port("COM2"), port("COM10"), port("COM5", true),
                                                    port("COM1")};
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
    };
    for (const Case& c : cases) {
        rs.SetPort(c.port);
        TDlgManagerForm form;
        form.Prepare(&manager);
        TRSPropsFrame* f = rsFrame(form);
        ASSERT_NE(f, nullptr);
        QStringList items;
        for (int i = 0; i < 4; ++i)
            items << f->PortCB->itemText(i);
        EXPECT_EQ(items, (QStringList{"COM1", "COM10", "COM2", "COM5 - VCP"}));
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

TEST(ParsePortNumber, KnownAnswers) {
    const std::pair<QString, int> cases[] = {{"", 1},         {"COM", 1},    {"COM7", 7},
                                             {"COM255", 255}, {"COM256", 0}, {"COM300", 44},
                                             {"COMx", 1},     {"COM-1", 255}};
    for (const auto& [text, number] : cases)
        EXPECT_EQ(TRSPropsFrame::ParsePortNumber(text), number) << text.toStdString();
}

} // namespace
