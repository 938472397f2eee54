// SPDX-License-Identifier: MIT
// The server path's decisions against fake server objects: identifiers, value patterns, speeds,
// count registers, error rows and the guards against stale answers.
#include "app/core/errortexts.h"
#include "app/serverpath/serverreadingpath.h"
#include "comm/ipc/taskarrays.h"
#include "fakeserver.h"
#include "tests/qstringprinter.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using Control = serverpath::IServerPathHost::Control;

class FakeHost : public serverpath::IServerPathHost {
public:
    const TDevInfo* CurrentDevice() const override { return device; }
    int JournalItemIndex() const override { return journalIndex; }
    void SetControlEnabled(Control c, bool on) override { enabled[int(c)] = on; }
    void SetCountText(const QString& t) override { countText = t; }
    void ShowMessageBox(const QString& t) override { messages.append(t); }
    void ShowErrorBox(const QString& t) override { messages.append("E:" + t); }
    void SendRecordAnswer(std::int32_t w, std::int32_t l) override {
        sent.append(w);
        if (path)
            path->WMRecordAnswer(w, l);
    }

    const TDevInfo* device = nullptr;
    int journalIndex = 0;
    bool enabled[5] = {true, false, false, false, true};
    QString countText;
    QStringList messages;
    QList<int> sent;
    serverpath::TServerReadingPath* path = nullptr;
};

class ServerPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        rs.SetServerObjectFactory(factory);
        mbm.SetTransport(&rs);
        rs.SetLiveChannel(true);
        rs.TransportIDChanged(nullptr, 3); // the channel is up: the master gets its object
        device.Name = QStringLiteral("Прибор");
        device.CountJournals = 1;
        device.Journal[0].Num = 4;
        device.Journal[0].Reg = 300001;
        device.Journal[0].CountRec = 10;
        host.device = &device;
        host.path = &path;
    }
    QVariantList lastTask() const {
        return factory.masterLog->tasks.value(factory.masterLog->tasks.size() - 1).toList();
    }
    bool on(Control c) const { return host.enabled[int(c)]; }

    fakes::FakeFactory factory;
    comm::TRS232Transport rs;
    comm::TModbusMaster mbm;
    core::TStringGrid sg{2, 5}, sgGr{2, 1};
    core::TJournalDecoder decoder{sg};
    TDevInfo device;
    FakeHost host;
    serverpath::TServerReadingPath path{rs, mbm, sg, sgGr, decoder, host};
};

TEST(ServerPathStatic, IdentifiersPatternsAndSpeeds) {
    const std::pair<int, int> qids[] = {{1, 1}, {999, 999}, {1000, 1001}, {1200, 1201}};
    for (const auto& [n, qid] : qids) {
        EXPECT_EQ(serverpath::TServerReadingPath::RecordQID(n), qid);
        EXPECT_EQ(serverpath::TServerReadingPath::RecordOfQID(qid), n);
    }
    for (int qid : {0, -1, 1000})
        EXPECT_EQ(serverpath::TServerReadingPath::RecordOfQID(qid), 0);

    const std::pair<QVariant, quint32> patterns[] = {
        {QVariant::fromValue(quint32(0x80000000u)), 0x80000000u},
        {QVariant::fromValue(quint32(0xFFFFFFFFu)), 0xFFFFFFFFu},
        {QVariant::fromValue(qint32(-2)), 0xFFFFFFFEu},
        {QVariant::fromValue(qint64(4294967295LL)), 0xFFFFFFFFu},
        {QVariant(4294967295.0), 0xFFFFFFFFu},
        {QVariant(std::numeric_limits<double>::quiet_NaN()), 0u},
        {QVariant::fromValue(quint16(7)), 7u},
        {QVariant(), 0u},
        {QVariant(QStringLiteral("x")), 0u}};
    for (const auto& [v, bits] : patterns)
        EXPECT_EQ(serverpath::TServerReadingPath::Pattern32(v), bits) << v.typeName();

    struct Speed {
        int index;
        QString text;
        comm::TComTransportSpeed ordinal;
    } speeds[] = {{0, "1200", comm::cts1200},  {7, "115200", comm::cts115200},
                  {-1, "9600", comm::cts9600}, {-1, "600", comm::cts600},
                  {-1, "", comm::cts19200},    {-1, "12345", comm::cts19200},
                  {8, "?", comm::cts19200}};
    for (const Speed& s : speeds)
        EXPECT_EQ(serverpath::TServerReadingPath::SpeedOrdinalFor(s.index, s.text), s.ordinal)
            << s.index << " " << s.text.toStdString();
}

TEST_F(ServerPathTest, CountRegisterChoosesFunctionAndAddress) {
    struct Case {
        int reg;
        int opcode; // 2 holding registers, 4 input registers
        int address;
    } cases[] = {{400001, 2, 0}, {300001, 4, 0}, {400000, 2, -1}, {399999, 4, 99998}};
    for (const Case& c : cases) {
        device.Journal[0].Reg = c.reg;
        path.btnReadClick();
        const QVariantList t = lastTask();
        EXPECT_EQ(t.value(0).toInt(), c.opcode) << c.reg;
        EXPECT_EQ(t.value(1).toInt(), 1000);
        EXPECT_EQ(t.value(3).toInt(), c.address) << c.reg;
        EXPECT_EQ(t.value(4).toInt(), 18);
        EXPECT_EQ(t.value(5).toInt(), 1);
    }
    const int before = factory.masterLog->tasks.size();
    device.Journal[0].Reg = -1;
    path.btnReadClick();
    EXPECT_EQ(factory.masterLog->tasks.size(), before);
    EXPECT_TRUE(on(Control::Stop));
    EXPECT_FALSE(on(Control::Read));
}

TEST_F(ServerPathTest, ServerGoneWhenQueueingEndsTheReadingWithAMessage) {
    factory.masterLog->serverGone = true;
    path.btnReadClick(); // the count request cannot be queued
    EXPECT_EQ(host.messages, QStringList{QStringLiteral("E:server gone")});
    EXPECT_TRUE(on(Control::Read));
    EXPECT_FALSE(on(Control::Stop));

    // A record request failing the same way ends the reading too.
    factory.masterLog->serverGone = false;
    path.btnReadClick();
    factory.masterLog->serverGone = true;
    path.MBMExchange(nullptr, 1000, 1, 4, QVariant(3), 0);
    EXPECT_EQ(host.messages.size(), 2);
    EXPECT_TRUE(on(Control::Read));
    EXPECT_FALSE(on(Control::Stop));
}

// Choices that give nothing to read: a plain message box, like the main path; the list and the
// buttons stay as they were.
TEST_F(ServerPathTest, NoDeviceOrJournalShowsMessageAndChangesNothing) {
    const struct {
        bool device;
        int journalIndex;
        bool ring; // a ring of more records than a request can address
        const char* message;
    } cases[] = {
        {false, 0, false, "Не выбран тип прибора."},
        {true, -1, false, "Не выбран журнал прибора."},
        {true, 1, false, "Не выбран журнал прибора."},
        {true, 0, true,
         "Кольцевой журнал «Ж» на 70000 записей: запрос адресует не больше 65536 записей."},
    };
    device.Journal[0].Name = QStringLiteral("Ж");
    device.Journal[0].CountRec = 70000;
    for (const auto& c : cases) {
        host.device = c.device ? &device : nullptr;
        host.journalIndex = c.journalIndex;
        device.Journal[0].Cycle = c.ring;
        host.messages.clear();
        sg.setRowCount(7);
        path.btnReadClick();
        EXPECT_EQ(host.messages, QStringList{QString::fromUtf8(c.message)});
        EXPECT_EQ(sg.rowCount(), 7);
        EXPECT_TRUE(factory.masterLog->tasks.isEmpty());
        EXPECT_TRUE(on(Control::Connect));
        EXPECT_FALSE(on(Control::Stop));
    }
}

// The record requests carry the archive number's low 8 bits, as the main path's do.
TEST_F(ServerPathTest, ArchiveNumberTravelsByItsLowEightBits) {
    device.Journal[0].Num = 0x10A;
    path.btnReadClick();
    path.MBMExchange(&mbm, 1000, 1, 4, QVariant::fromValue(quint16(5)), 0);
    EXPECT_TRUE(host.messages.isEmpty());
    EXPECT_EQ(lastTask().value(comm::ipc::IndexArchTask::Archive).toInt(), 10);
}

TEST_F(ServerPathTest, FailedRecordWritesErrorRowUnknownCodeInDecimal) {
    path.btnReadClick();
    path.MBMExchange(&mbm, 1000, 1, 4, QVariant::fromValue(quint16(5)), 0);
    EXPECT_EQ(host.countText, QStringLiteral("Количество записей: 5"));
    EXPECT_EQ(lastTask().value(0).toInt(), 9); // record 1, index 0
    EXPECT_EQ(lastTask().value(3).toInt(), 1);
    EXPECT_EQ(lastTask().value(4).toInt(), 0);
    path.MBMExchange(&mbm, 1, 1, 65, QVariant(), 57);
    EXPECT_EQ(sg.rowCount(), 3);
    EXPECT_EQ(sg.cell(2, 0), QStringLiteral("1"));
    EXPECT_EQ(sg.cell(2, 1), QStringLiteral("Ошибка (57)"));
    EXPECT_EQ(path.OutstandingQID(), 0);
    EXPECT_TRUE(on(Control::Stop));
}

TEST_F(ServerPathTest, FailedCountEndsReadingWithoutTouchingTheLabel) {
    host.countText = QStringLiteral("...");
    path.btnReadClick();
    path.MBMExchange(&mbm, 1000, 1, 4, QVariant(), 2);
    EXPECT_TRUE(on(Control::Read));
    EXPECT_FALSE(on(Control::Stop));
    EXPECT_TRUE(on(Control::JournalSelector));
    EXPECT_TRUE(path.GetArch());
    EXPECT_EQ(host.countText, QStringLiteral("..."));
}

TEST_F(ServerPathTest, AnswersOfTasksNotAwaitedAreDropped) {
    path.btnReadClick();
    // A record answer of an earlier reading arrives while the count is awaited.
    path.MBMExchange(&mbm, 5, 1, 65, QVariantList{1, 1, 1}, 0);
    path.MBMExchange(&mbm, 77777, 1, 65, QVariant(), 0);
    EXPECT_TRUE(host.sent.isEmpty());
    EXPECT_EQ(path.OutstandingQID(), 1000);
    EXPECT_EQ(sg.rowCount(), 2);
}

// The archive gets the reading: record n as number n - 1 (its index), the answer's fields in the
// tdPlain reply layout, a failed record's code, and the end.
TEST_F(ServerPathTest, StoresTheReadingInTheArchive) {
    struct FakeArchive : core::IRunArchive {
        std::vector<core::TArchiveCheck> Comparisons(const core::TArchiveRunInfo&) override {
            return {};
        }
        std::vector<core::TStoredRecord> StoredAnswers(qint64,
                                                       const core::TArchiveRunInfo&) override {
            return {};
        }
        void Begin(const core::TArchiveRunInfo& run, std::optional<qint64> series) override {
            log << QStringLiteral("begin %1 %2").arg(run.countRec).arg(series ? 1 : 0);
        }
        void Answered(qint64 n, const std::uint8_t* reply) override {
            log << QStringLiteral("%1 %2").arg(n).arg(
                QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(reply), 13).toHex()));
        }
        void Failed(qint64 n, int code) override {
            log << QStringLiteral("%1 failed %2").arg(n).arg(code);
        }
        void End(bool stopped) override { log << (stopped ? "stopped" : "end"); }
        QStringList log;
    } archive;
    path.SetArchive(&archive);
    path.btnReadClick();
    path.MBMExchange(&mbm, 1000, 1, 4, QVariant::fromValue(quint16(2)), 0);
    path.MBMExchange(&mbm, 1, 1, 65, QVariantList{0x01020304u, 0x0506, 0x0708090Au}, 0);
    path.MBMExchange(&mbm, 2, 1, 65, QVariant(), 3);
    path.btnReadClick(); // the failed record ended the reading
    EXPECT_EQ(archive.log,
              (QStringList{"begin 2 0", "0 410a0102030405060708090a00", "1 failed 3", "end"}));
}

TEST_F(ServerPathTest, ConnectAndConnectionEventsSetTheButtons) {
    comm::TRS232Transport other;
    serverpath::TServerReadingPath p2{other, mbm, sg, sgGr, decoder, host};
    p2.btnConnectClick(-1, QStringLiteral("57600"), QStringLiteral("COM9 ")); // typed: trimmed
    EXPECT_EQ(other.Speed(), comm::cts57600);
    EXPECT_EQ(other.Port(), QStringLiteral("COM9"));
    EXPECT_FALSE(on(Control::Connect));
    p2.RS232ChangeConnected(&other, true);
    EXPECT_TRUE(on(Control::Read));
    EXPECT_TRUE(on(Control::Disconnect));
    p2.RS232ChangeConnected(&other, false);
    EXPECT_TRUE(on(Control::Connect));
    EXPECT_FALSE(on(Control::Read));
    EXPECT_FALSE(on(Control::Disconnect));
}

} // namespace
