// SPDX-License-Identifier: MIT
// The components against the real exchange-server process, with a simulated instrument on a
// pseudo-terminal link.
#include "comm/comtransport.h"
#include "comm/ipc/protocol.h"
#include "comm/modbusmaster.h"
#include "comm/serversession.h"
#include "serverprocess.h"
#include "tests/simulatorfixture.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <csignal>

using namespace comm;
using fixture::waitFor;

namespace {

// Passes everything to the exchange server and keeps the settings arrays the masters send.
class RecordingFactory : public IServerObjectFactory {
public:
    IAnyTransportPtr CreateTransport(TConnectKind k, const QString& m) override {
        return exchangeServerFactory().CreateTransport(k, m);
    }
    IAnyMasterPtr CreateMaster(TConnectKind k, const QString& m) override {
        auto inner = exchangeServerFactory().CreateMaster(k, m);
        return std::make_shared<Spy>(inner, this);
    }
    QList<QVariant> masterProps;

private:
    struct Spy : IAnyMaster {
        Spy(IAnyMasterPtr inner, RecordingFactory* f) : inner(std::move(inner)), f(f) {}
        void AddTask(const QVariant& t) override { inner->AddTask(t); }
        void AddInplaceTask(const QVariant& t, QVariant& r, qint32 to) override {
            inner->AddInplaceTask(t, r, to);
        }
        void SetProps(const QVariant& p) override {
            f->masterProps.append(p);
            inner->SetProps(p);
        }
        void SetTransportID(qint32 id) override { inner->SetTransportID(id); }
        void FreeTask(qint32 q) override { inner->FreeTask(q); }
        void FreeAllTasks() override { inner->FreeAllTasks(); }
        void Advise(IMasterEvents* e) override { inner->Advise(e); }
        IClientProcess* ClientProcess() override { return inner->ClientProcess(); }
        IAnyMasterPtr inner;
        RecordingFactory* f;
    };
};

struct Answer {
    qint32 qid, addr, fn, result;
    QVariant value;
};

sim::Instrument journalInstrument() {
    sim::Instrument inst;
    inst.name = QStringLiteral("FIXTURE-1");
    inst.holdingRegisters.insert(9, 120);
    inst.inputRegisters.insert(4, 3);
    sim::Journal& j = inst.addJournal(1, sim::Layout::Plain);
    j.records = {sim::Instrument::fixedRecord(sim::Layout::Plain, 1689305808, 7, 1),
                 sim::Instrument::fixedRecord(sim::Layout::Plain, 1689305900, 8, 0xF0000001u),
                 sim::Instrument::fixedRecord(sim::Layout::Plain, 1689306000, 9, 42)};
    return inst;
}

// The transport the simulator is served on: 0 the pty, 1 a Modbus TCP endpoint, 2 an rtu+tcp
// endpoint (COM5 is mapped to it).
std::optional<platform::NetworkEndpoint::Framing> networkOf(int network) {
    using Framing = platform::NetworkEndpoint::Framing;
    if (network == 0)
        return std::nullopt;
    return network == 1 ? Framing::ModbusTcp : Framing::RtuOverTcp;
}

template <int Network> class ServerFixture : public ::testing::Test {
public: // the shared test bodies below reach the parts
    void SetUp() override {
        ASSERT_TRUE(instrument) << simulatorError.toStdString();
        QString why;
        ASSERT_TRUE(server.start(&why)) << why.toStdString();
        rs.SetServerObjectFactory(factory);
        rs.SetPort(QStringLiteral("COM5"));
        rs.SetAnswerDelay(1000); // generous: the machine may be busy
        rs.SetRetries(0);
        mbm.SetTransport(&rs);
        rs.OnChangeConnected = [this](QObject*, bool c) { connected << c; };
        rs.OnStateChanged = [this](QObject*, qint32 o, qint32 n, const QString&) {
            states << QStringLiteral("%1>%2").arg(o).arg(n);
        };
        mbm.OnExchange = [this](QObject*, qint32 q, qint32 a, qint32 f, const QVariant& v,
                                qint32 r) {
            answers.append({q, a, f, r, v});
        };
    }

    void goLive() {
        rs.SetLiveChannel(true);
        ASSERT_TRUE(waitFor([this] { return rs.LiveChannel(); }))
            << server.stderrText().toStdString();
    }

    QString simulatorError; // why the simulator did not start
    std::unique_ptr<sim::Simulator> instrument = fixture::StartSimulator(
        journalInstrument(), {.network = networkOf(Network)}, &simulatorError);
    fixture::ServerProcess server{instrument ? instrument->clientPath() : QString()};
    RecordingFactory factory;
    TRS232Transport rs;
    TModbusMaster mbm;
    QList<bool> connected;
    QStringList states;
    QList<Answer> answers;
};

using ServerProcessTest = ServerFixture<0>;
using ServerOverTcpTest = ServerFixture<1>;
using ServerOverRtuTcpTest = ServerFixture<2>;

// A channel on an endpoint runs the same tasks with the same results; line settings that do not
// apply to it leave it working, and a gateway that goes away takes the channel.
template <int Network> void TasksRunOverTheEndpoint(ServerFixture<Network>& f) {
    f.goLive();
    QVariant v;
    EXPECT_EQ(f.mbm.ReadHoldRegsI(1, 0, 9, 18, 1, v), 0);
    EXPECT_EQ(v, QVariant::fromValue(quint16(120)));
    EXPECT_EQ(f.mbm.ReadIndexArchI(2, 1, 0, QVariantList{19, 18, 19}, v), 0);
    EXPECT_EQ(v.toList().value(1), QVariant::fromValue(quint16(7)));
    QString name;
    EXPECT_EQ(f.mbm.GetDeviceNameI(3, name), 0);
    EXPECT_EQ(name, "FIXTURE-1");
    EXPECT_EQ(f.mbm.ReadIndexArchI(4, 1, 99, QVariantList{19, 18, 19}, v), 12);
    for (const char* fault : {"noanswer", "crc"}) {
        if (Network == 1 && QByteArray(fault) == "crc")
            continue; // Modbus TCP has no CRC
        f.instrument->addFault(*sim::parseFault(QString::fromLatin1(fault)));
        EXPECT_EQ(f.mbm.ReadHoldRegsI(5, 0, 9, 18, 1, v), fault[0] == 'n' ? 1 : 2) << fault;
        f.instrument->clearFaults();
    }
    f.rs.SetSpeed(cts9600);
    f.mbm.ReadHoldRegs(6, 0, 9, 18, 1);
    ASSERT_TRUE(waitFor([&] { return !f.answers.isEmpty(); }));
    EXPECT_EQ(f.answers[0].qid, 6);
    EXPECT_EQ(f.answers[0].result, 0);
    f.instrument->stop();
    ASSERT_TRUE(waitFor([&] { return f.connected.size() == 2; }));
    EXPECT_EQ(f.connected, (QList<bool>{true, false}));
}

} // namespace

TEST_F(ServerOverTcpTest, TasksRunOverModbusTcp) {
    TasksRunOverTheEndpoint(*this);
}

TEST_F(ServerOverRtuTcpTest, TasksRunOverRtuFramesOnTcp) {
    TasksRunOverTheEndpoint(*this);
}

TEST_F(ServerProcessTest, TransportGoesLiveAndMasterSendsSettings) {
    goLive();
    EXPECT_GE(rs.TransportID(), 1);
    EXPECT_EQ(connected, QList<bool>{true});
    EXPECT_EQ(states, QStringList{"0>1"});
    EXPECT_EQ(mbm.TransportID(), rs.TransportID());
    ASSERT_NE(mbm.ServerObject(), nullptr);
    ASSERT_EQ(factory.masterProps.size(), 1);
    const QVariantList p = factory.masterProps[0].toList();
    const QList<int> types = {QMetaType::UChar, QMetaType::Int,  QMetaType::UChar, QMetaType::UChar,
                              QMetaType::Int,   QMetaType::Bool, QMetaType::Bool};
    ASSERT_EQ(p.size(), types.size());
    for (int i = 0; i < p.size(); ++i)
        EXPECT_EQ(p[i].metaType().id(), types[i]) << i;
}

TEST_F(ServerProcessTest, QueuedReadsAnswerWithTheirQIDs) {
    goLive();
    mbm.ReadHoldRegs(1000, 0, 9, 18, 1);
    mbm.ReadInputRegs(3, 0, 4, 18, 1);
    mbm.ReadIndexArch(2, 1, 1, 1, QVariantList{19, 18, 19});
    ASSERT_TRUE(waitFor([this] { return answers.size() == 3; }));
    EXPECT_EQ(answers[0].qid, 1000);
    EXPECT_EQ(answers[0].result, 0);
    EXPECT_EQ(answers[0].fn, 3);
    EXPECT_EQ(answers[0].addr, 1);
    EXPECT_EQ(answers[0].value, QVariant::fromValue(quint16(120)));
    EXPECT_EQ(answers[1].qid, 3);
    EXPECT_EQ(answers[1].value, QVariant::fromValue(quint16(3)));
    EXPECT_EQ(answers[2].qid, 2);
    EXPECT_EQ(answers[2].fn, 65);
    const QVariantList rec = answers[2].value.toList();
    ASSERT_EQ(rec.size(), 3);
    EXPECT_EQ(rec[0], QVariant::fromValue(quint32(1689305900)));
    EXPECT_EQ(rec[1], QVariant::fromValue(quint16(8)));
    EXPECT_EQ(rec[2], QVariant::fromValue(quint32(0xF0000001u))); // above 2^31, unchanged
    EXPECT_EQ(mbm.LastErr(), 0);
}

TEST_F(ServerProcessTest, InplaceReadsReturnTheirValues) {
    goLive();
    QVariant v;
    EXPECT_EQ(mbm.ReadHoldRegsI(1, 0, 9, 18, 1, v), 0);
    EXPECT_EQ(v, QVariant::fromValue(quint16(120)));
    EXPECT_EQ(mbm.ReadIndexArchI(2, 1, 0, QVariantList{19, 18, 19}, v), 0);
    EXPECT_EQ(v.toList(),
              (QVariantList{QVariant::fromValue(quint32(1689305808)),
                            QVariant::fromValue(quint16(7)), QVariant::fromValue(quint32(1))}));
    QString name;
    EXPECT_EQ(mbm.GetDeviceNameI(3, name), 0);
    EXPECT_EQ(name, "FIXTURE-1");
    // A record the instrument does not have: its exception (illegal data address).
    EXPECT_EQ(mbm.ReadIndexArchI(4, 1, 99, QVariantList{19, 18, 19}, v), 12);
    EXPECT_FALSE(v.isValid());
    // A task the journal protocol cannot express.
    EXPECT_EQ(mbm.ReadTimeArchI(5, 1, QDateTime::currentDateTime(), 19, v), 13);
    EXPECT_TRUE(answers.isEmpty()); // in-place answers raise no event
}

TEST_F(ServerProcessTest, SilentInstrumentAnswersNoAnswer) {
    goLive();
    instrument->addFault(*sim::parseFault(QStringLiteral("noanswer")));
    QVariant v;
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(mbm.ReadHoldRegsI(1, 0, 9, 18, 1, v), 1);
    EXPECT_LT(t.elapsed(), 5000);
    mbm.ReadHoldRegs(7, 0, 9, 18, 1);
    ASSERT_TRUE(waitFor([this] { return !answers.isEmpty(); }));
    EXPECT_EQ(answers[0].qid, 7);
    EXPECT_EQ(answers[0].result, 1);
    EXPECT_EQ(mbm.LastErr(), 1);
    // It speaks again: so does the channel.
    instrument->clearFaults();
    EXPECT_EQ(mbm.ReadHoldRegsI(2, 0, 9, 18, 1, v), 0);
}

TEST_F(ServerProcessTest, ReplyWithWrongCrcAnswersCrcError) {
    goLive();
    instrument->addFault(*sim::parseFault(QStringLiteral("crc")));
    QVariant v;
    EXPECT_EQ(mbm.ReadHoldRegsI(1, 0, 9, 18, 1, v), 2);
    instrument->clearFaults();
    EXPECT_EQ(mbm.ReadHoldRegsI(2, 0, 9, 18, 1, v), 0);
    EXPECT_EQ(v, QVariant::fromValue(quint16(120)));
}

TEST_F(ServerProcessTest, FreeAllTasksDropsWaitingTasks) {
    goLive();
    for (int q = 1; q <= 20; ++q)
        mbm.ReadHoldRegs(q, 0, 9, 18, 1);
    mbm.FreeAllTasks();
    mbm.ReadHoldRegs(99, 0, 9, 18, 1);
    ASSERT_TRUE(waitFor([this] { return !answers.isEmpty() && answers.last().qid == 99; }));
    EXPECT_LT(answers.size(), 21); // some were dropped before reaching the wire
}

TEST_F(ServerProcessTest, ClosingTheChannelReleasesTheMasters) {
    goLive();
    rs.SetLiveChannel(false);
    ASSERT_TRUE(waitFor([this] { return connected.size() == 2; }));
    EXPECT_EQ(connected, (QList<bool>{true, false}));
    EXPECT_EQ(mbm.ServerObject(), nullptr);
    EXPECT_EQ(mbm.TransportID(), -1);
    EXPECT_EQ(rs.ServerObject(), nullptr);
    QVariant v;
    EXPECT_EQ(mbm.ReadHoldRegsI(1, 0, 9, 18, 1, v), 18);
    goLive(); // and again
    EXPECT_EQ(mbm.ReadHoldRegsI(1, 0, 9, 18, 1, v), 0);
}

TEST_F(ServerProcessTest, LineSettingsReachAnOpenChannel) {
    goLive();
    rs.SetSpeed(cts9600); // the port is reopened at the new speed
    QVariant v;
    EXPECT_EQ(mbm.ReadHoldRegsI(1, 0, 9, 18, 1, v), 0);
    rs.SetPort(QStringLiteral("COM78")); // a port that does not exist: the channel goes
    ASSERT_TRUE(waitFor([this] { return connected.size() == 2; }));
    EXPECT_EQ(connected, (QList<bool>{true, false}));
    EXPECT_EQ(mbm.ServerObject(), nullptr);
}

TEST_F(ServerProcessTest, UnknownPortReportsNoChannel) {
    rs.SetPort(QStringLiteral("COM77"));
    rs.SetLiveChannel(true);
    ASSERT_TRUE(waitFor([this] { return !connected.isEmpty(); }));
    EXPECT_EQ(connected, QList<bool>{false});
    EXPECT_FALSE(rs.LiveChannel());
    EXPECT_EQ(mbm.ServerObject(), nullptr);
}

TEST_F(ServerProcessTest, KilledServerReportsTheChannelGone) {
    goLive();
    server.kill();
    ASSERT_TRUE(waitFor([this] { return connected.size() == 2; }));
    EXPECT_EQ(connected, (QList<bool>{true, false}));
    EXPECT_EQ(states.last(), "1>0");
    EXPECT_EQ(rs.TransportID(), -1);
    EXPECT_EQ(mbm.ServerObject(), nullptr);
    EXPECT_EQ(rs.ServerObject(), nullptr);
    // A new server: the channel can go live again.
    QString why;
    ASSERT_TRUE(server.start(&why)) << why.toStdString();
    goLive();
    QVariant v;
    EXPECT_EQ(mbm.ReadHoldRegsI(1, 0, 9, 18, 1, v), 0);
}

TEST(ServerStart, ClientStartsTheServerWhenNoneRuns) {
    QString simulatorError;
    const auto instrument = fixture::StartSimulator(journalInstrument(), {}, &simulatorError);
    ASSERT_TRUE(instrument) << simulatorError.toStdString();
    fixture::ServerProcess env(instrument->clientPath()); // runtime folder and mapping only
    TRS232Transport rs;
    rs.SetPort(QStringLiteral("COM5"));
    TModbusMaster mbm;
    mbm.SetTransport(&rs);
    rs.SetLiveChannel(true);
    ASSERT_TRUE(waitFor([&] { return rs.LiveChannel(); }, 10000));
    QVariant v;
    EXPECT_EQ(mbm.ReadHoldRegsI(1, 0, 9, 18, 1, v), 0);
    // Stop the started server (it would also leave by itself once idle).
    auto session = ServerSession::obtain(serverLocationFor(TConnectKind::ckLocal, QString()));
    const qint64 pid = session->call(ipc::mkServerInfo, 0).toList().value(0).toLongLong();
    ASSERT_GT(pid, 0);
    ::kill(pid_t(pid), SIGTERM);
    ASSERT_TRUE(waitFor([&] { return !rs.LiveChannel(); }));
}

// Two channels of one server: A's instrument silent, or answering late; B's answering every
// request with a wrong CRC meanwhile. Each channel tells its own damaged frames from its own
// bytes: B's tasks end in a CRC error (also with Qt's modbus warnings turned off), A's in "no
// answer", or with their own record's data, never the record before.
TEST(ServerChannels, DamagedFramesOfOneChannelStayItsOwn) {
    const struct {
        const char* faultA;
        int retriesA;
        const char* loggingRules;
    } cases[] = {
        {"noanswer", 0, "qt.modbus.warning=false"},
        {"delay ms=750 function=65", 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faultA);
        QString error;
        const auto a = fixture::StartSimulator(journalInstrument(),
                                               {.faults = {*sim::parseFault(c.faultA)}}, &error);
        const auto b =
            fixture::StartSimulator(journalInstrument(), {.faults = {*sim::parseFault("crc")}});
        ASSERT_TRUE(a && b) << error.toStdString();
        fixture::ServerProcess server;
        qputenv("JOURNAL_PORTS",
                QStringLiteral("COM5=%1;COM6=%2").arg(a->clientPath(), b->clientPath()).toUtf8());
        const QByteArray rules = qgetenv("QT_LOGGING_RULES");
        qputenv("QT_LOGGING_RULES", c.loggingRules);
        ASSERT_TRUE(server.start(&error)) << error.toStdString();
        qputenv("QT_LOGGING_RULES", rules);

        TRS232Transport rsA, rsB;
        TModbusMaster mbmA, mbmB;
        QList<Answer> answersA;
        QList<qint32> resultsB;
        rsA.SetPort(QStringLiteral("COM5"));
        rsA.SetAnswerDelay(500);
        rsA.SetRetries(c.retriesA);
        rsB.SetPort(QStringLiteral("COM6"));
        // B's task ends when its bound runs out after a damaged answer: 300 ms still gives
        // several of them during A's waits, and keeps a loaded machine from turning one into
        // "no answer".
        rsB.SetAnswerDelay(300);
        rsB.SetRetries(0);
        mbmA.SetTransport(&rsA);
        mbmB.SetTransport(&rsB);
        mbmA.OnExchange = [&](QObject*, qint32 q, qint32 ad, qint32 f, const QVariant& v,
                              qint32 r) {
            answersA.append({q, ad, f, r, v});
        };
        // B keeps its line busy with damaged answers while A waits.
        mbmB.OnExchange = [&](QObject*, qint32, qint32, qint32, const QVariant&, qint32 r) {
            resultsB.append(r);
            if (answersA.size() < 3)
                mbmB.ReadHoldRegs(1, 0, 9, 18, 1);
        };
        rsA.SetLiveChannel(true);
        rsB.SetLiveChannel(true);
        ASSERT_TRUE(waitFor([&] { return rsA.LiveChannel() && rsB.LiveChannel(); }))
            << server.stderrText().toStdString();
        mbmB.ReadHoldRegs(1, 0, 9, 18, 1);
        for (int i = 0; i < 3; ++i)
            mbmA.ReadIndexArch(i + 1, 1, 1, i, QVariantList{19, 18, 19});
        ASSERT_TRUE(waitFor([&] { return answersA.size() == 3; }, 30000));

        EXPECT_GE(resultsB.size(), 3);
        EXPECT_EQ(resultsB.count(2), resultsB.size()) << "B: CRC errors";
        const QList<quint16> ids = {7, 8, 9}; // of records 0, 1, 2
        for (const Answer& answer : answersA) {
            SCOPED_TRACE(answer.qid);
            if (c.retriesA == 0) {
                EXPECT_EQ(answer.result, 1); // no answer, not B's CRC error
            } else {
                ASSERT_EQ(answer.result, 0);
                EXPECT_EQ(answer.value.toList().value(1).value<quint16>(), ids[answer.qid - 1]);
            }
        }
    }
}
