// SPDX-License-Identifier: MIT
#include "comm/comtransport.h"
#include "comm/modbusmaster.h"
#include "fakeserver.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

using namespace comm;

namespace {

// Element types and values in automation terms, e.g. "[UI1 9, I4 1, I4 0]".
QString sig(const QVariant& v) {
    switch (v.metaType().id()) {
    case QMetaType::UnknownType:
        return QStringLiteral("EMPTY");
    case QMetaType::UChar:
        return QStringLiteral("UI1 %1").arg(v.toUInt());
    case QMetaType::UShort:
        return QStringLiteral("UI2 %1").arg(v.toUInt());
    case QMetaType::Int:
        return QStringLiteral("I4 %1").arg(v.toInt());
    case QMetaType::UInt:
        return QStringLiteral("UI4 %1").arg(v.toUInt());
    case QMetaType::Bool:
        return QStringLiteral("BOOL %1").arg(v.toBool() ? "true" : "false");
    case QMetaType::QString:
        return QStringLiteral("STR %1").arg(v.toString());
    case QMetaType::QDateTime:
        return QStringLiteral("DATE %1").arg(v.toDateTime().toString(Qt::ISODate));
    case QMetaType::QVariantList: {
        QStringList parts;
        for (const QVariant& e : v.toList())
            parts << sig(e);
        return QLatin1Char('[') + parts.join(QStringLiteral(", ")) + QLatin1Char(']');
    }
    default:
        return QString::fromLatin1(v.metaType().name()) + QLatin1Char(' ') + v.toString();
    }
}

class RecordingSink : public platform::IMessageSink {
public:
    void information(const QString& text) override { messages << text; }
    QStringList messages;
};

struct Recorder : IMasterCallBack {
    QList<qint32> qids;
    bool fail = false;
    void ExchangeResult(QObject*, qint32 QID, qint32, qint32, const QVariant&, qint32) override {
        qids << QID;
        if (fail)
            throw std::runtime_error("call-back failed");
    }
};

// A live transport with one master: the transport reported channel 7.
struct LiveRig {
    fakes::FakeFactory factory;
    TRS232Transport rs;
    TModbusMaster mbm;
    LiveRig() {
        rs.SetServerObjectFactory(factory);
        mbm.SetTransport(&rs);
        rs.SetLiveChannel(true);
        factory.transportLog->events->StateChangedEvent(0, 1, 7);
    }
};

} // namespace

TEST(ModbusMaster, ConnectingSendsDefaultSettingsWithExactTypes) {
    LiveRig rig;
    ASSERT_EQ(rig.factory.masterLog->props.size(), 1);
    EXPECT_EQ(sig(rig.factory.masterLog->props[0]),
              "[UI1 0, I4 1, UI1 0, UI1 0, I4 10, BOOL true, BOOL false]");
    EXPECT_EQ(rig.factory.masterLog->transportIds, QList<qint32>{7});
    EXPECT_EQ(rig.mbm.TransportID(), 7);
}

TEST(ModbusMaster, PropertyWritesWhileDisconnectedGoOutOnConnecting) {
    fakes::FakeFactory factory;
    TRS232Transport rs;
    rs.SetServerObjectFactory(factory);
    TModbusMaster mbm;
    mbm.SetTransport(&rs);
    mbm.SetDeviceAddress(17);
    mbm.SetRetries(3);
    mbm.SetAdjustToWord(false);
    EXPECT_TRUE(factory.masterLog->props.isEmpty());
    rs.SetLiveChannel(true);
    factory.transportLog->events->StateChangedEvent(0, 1, 2);
    ASSERT_EQ(factory.masterLog->props.size(), 1);
    EXPECT_EQ(sig(factory.masterLog->props[0]),
              "[UI1 0, I4 17, UI1 0, UI1 0, I4 3, BOOL false, BOOL false]");
}

TEST(ModbusMaster, WritingPropsSendsOneArray) {
    LiveRig rig;
    rig.factory.masterLog->props.clear();
    rig.mbm.SetPropsValue(QVariantList{5, 1, 2});
    ASSERT_EQ(rig.factory.masterLog->props.size(), 1);
    EXPECT_EQ(sig(rig.factory.masterLog->props[0]),
              "[UI1 0, I4 5, UI1 1, UI1 2, I4 10, BOOL true, BOOL false]");
    EXPECT_EQ(sig(rig.mbm.Props()), "[I4 5, UI1 1, UI1 2]");
    // A props array that does not convert raises, and what was written is still pushed once.
    rig.factory.masterLog->props.clear();
    EXPECT_THROW(rig.mbm.SetPropsValue(QVariantList{9, QStringLiteral("x"), 0}), EConvertError);
    ASSERT_EQ(rig.factory.masterLog->props.size(), 1);
    EXPECT_EQ(rig.mbm.DeviceAddress(), 9);
}

TEST(ModbusMaster, QueuedTaskArrays) {
    LiveRig rig;
    TModbusMaster& m = rig.mbm;
    const QDateTime t(QDate(2023, 6, 15), QTime(14, 5, 9));
    const QVariant codes = QVariantList{19, 18, 19};
    const struct {
        std::function<void()> call;
        const char* expected;
    } cases[] = {
        {[&] {
             m.Exchange(5, 3, 65, 0, QVariantList{1, 2});
         },
         "[UI1 0, I4 5, I4 3, I4 65, I4 0, [I4 1, I4 2]]"},
        {[&] { m.GetDeviceName(11); }, "[UI1 1, I4 11]"},
        {[&] { m.ReadHoldRegs(1000, 0, 9, 18, 1); }, "[UI1 2, I4 1000, I4 0, I4 9, I4 18, I4 1]"},
        {[&] { m.WriteHoldRegs(2, 0, 4, QVariant::fromValue(quint16(7))); },
         "[UI1 3, I4 2, I4 0, I4 4, UI2 7]"},
        {[&] { m.ReadInputRegs(3, 0, 4, 18, 2); }, "[UI1 4, I4 3, I4 0, I4 4, I4 18, I4 2]"},
        {[&] { m.ReadHoldBins(4, 0, 1, 8); }, "[UI1 5, I4 4, I4 0, I4 1, I4 8]"},
        {[&] { m.WriteHoldBins(5, 0, 1, true); }, "[UI1 6, I4 5, I4 0, I4 1, BOOL true]"},
        {[&] { m.ReadInputBins(6, 0, 2, 3); }, "[UI1 7, I4 6, I4 0, I4 2, I4 3]"},
        {[&] { m.ReadTimeArch(7, 1, 2, 2023, 6, 15, 14, 5, 9, 19); },
         "[UI1 8, I4 7, I4 1, I4 2, I4 2023, I4 6, I4 15, I4 14, I4 5, I4 9, I4 19]"},
        {[&] { m.ReadTimeArch(8, 1, t, codes, 3); },
         "[UI1 8, I4 8, I4 1, I4 3, I4 23, UI2 6, UI2 15, UI2 14, UI2 5, UI2 9, "
         "[I4 19, I4 18, I4 19]]"},
        {[&] { m.ReadTimeArch(8, 1, QDateTime(QDate(2000, 1, 1), QTime()), 19, 1); },
         "[UI1 8, I4 8, I4 1, I4 1, I4 0, UI2 1, UI2 1, UI2 0, UI2 0, UI2 0, I4 19]"},
        {[&] { m.ReadTimeArch(8, 1, QDateTime(QDate(2100, 12, 31), QTime(23, 59, 59)), 19, 1); },
         "[UI1 8, I4 8, I4 1, I4 1, I4 0, UI2 12, UI2 31, UI2 23, UI2 59, UI2 59, I4 19]"},
        {[&] { m.ReadIndexArch(9, 2, 1, 300, codes); },
         "[UI1 9, I4 9, I4 2, I4 1, I4 300, [I4 19, I4 18, I4 19]]"},
        {[&] { m.ReadStatus(10, 0); }, "[UI1 10, I4 10, I4 0]"},
        {[&] { m.Diagnostics(11, 0, 1, 255); }, "[UI1 11, I4 11, I4 0, I4 1, I4 255]"},
        {[&] { m.ReadTimeArch(12, 1, t, codes, 2, 0, 3); },
         "[UI1 12, I4 12, I4 1, I4 2, DATE 2023-06-15T14:05:09, [I4 19, I4 18, I4 19], UI1 3, "
         "I4 0]"},
    };
    for (const auto& c : cases) {
        rig.factory.masterLog->tasks.clear();
        c.call();
        ASSERT_EQ(rig.factory.masterLog->tasks.size(), 1) << c.expected;
        EXPECT_EQ(sig(rig.factory.masterLog->tasks[0]), QString::fromUtf8(c.expected));
    }
}

TEST(ModbusMaster, OperationsWithoutServerObject) {
    fakes::FakeFactory factory;
    TModbusMaster m;
    m.SetLastErr(5);
    m.ReadHoldRegs(1, 0, 0, 18, 1);
    EXPECT_EQ(m.LastErr(), 5); // queued: dropped without a report
    m.ReadTimeArch(1, 1, QDateTime::currentDateTime(), 19, 1);
    EXPECT_EQ(m.LastErr(), 18); // the Time forms record 18
    m.SetLastErr(5);
    QVariant v = 42;
    EXPECT_EQ(m.ReadInputRegsI(1, 0, 0, 18, 1, v), 18);
    EXPECT_FALSE(v.isValid());
    EXPECT_EQ(m.LastErr(), 5);
    EXPECT_TRUE(factory.masterLog->tasks.isEmpty());
}

TEST(ModbusMaster, InplaceOperations) {
    LiveRig rig;
    auto& log = *rig.factory.masterLog;
    log.inplaceAnswer =
        QVariantList{QVariant::fromValue(quint8(9)), 1, 1, 65, QVariantList{1u, 2, 3u}, 0};
    QVariant v;
    EXPECT_EQ(rig.mbm.ReadIndexArchI(1, 2, 7, QVariantList{19, 18, 19}, v), 0);
    EXPECT_EQ(sig(log.inplaceTasks.last()),
              "[UI1 9, I4 1, I4 2, UI1 1, I4 7, [I4 19, I4 18, I4 19]]");
    EXPECT_EQ(v.toList().size(), 3);

    EXPECT_EQ(rig.mbm.ReadTimeArchI(2, 1, QDateTime(QDate(2023, 6, 15), QTime(14, 5, 9)), 19, v),
              0);
    EXPECT_EQ(sig(log.inplaceTasks.last()),
              "[UI1 8, I4 2, I4 1, UI1 1, I4 23, UI2 6, UI2 15, UI2 14, UI2 5, UI2 9, I4 19]");

    // A failed answer leaves the value empty and sets LastErr.
    log.inplaceAnswer = QVariantList{QVariant::fromValue(quint8(4)), 3, 1, 4, 99, 1};
    v = 5;
    EXPECT_EQ(rig.mbm.ReadInputRegsI(3, 0, 0, 18, 1, v), 1);
    EXPECT_FALSE(v.isValid());
    EXPECT_EQ(rig.mbm.LastErr(), 1);

    // ReadStatusI keeps its byte unless the result is 0, then takes the low 8 bits.
    quint8 status = 0x55;
    EXPECT_EQ(rig.mbm.ReadStatusI(4, 0, status), 1);
    EXPECT_EQ(status, 0x55);
    log.inplaceAnswer = QVariantList{QVariant::fromValue(quint8(10)), 4, 1, 7, 0x1A3, 0};
    EXPECT_EQ(rig.mbm.ReadStatusI(4, 0, status), 0);
    EXPECT_EQ(status, 0xA3);

    log.inplaceAnswer = QVariantList{QVariant::fromValue(quint8(1)), 5, 1, 17, "NAME", 0};
    QString name = "old";
    EXPECT_EQ(rig.mbm.GetDeviceNameI(5, name), 0);
    EXPECT_EQ(name, "NAME");

    // An answer that is not an answer array is no success.
    log.inplaceAnswer = QVariant();
    EXPECT_EQ(rig.mbm.ReadHoldRegsI(6, 0, 0, 18, 1, v), 14);
}

TEST(ModbusMaster, AnswerEventsReachCallBackAndOnExchange) {
    LiveRig rig;
    auto cb = std::make_shared<Recorder>();
    ASSERT_EQ(rig.mbm.RequestQID(cb), 0);
    QList<QList<qint32>> seen;
    rig.mbm.OnExchange = [&](QObject* s, qint32 q, qint32 a, qint32 f, const QVariant&, qint32 r) {
        EXPECT_EQ(s, &rig.mbm);
        seen.append({q, a, f, r});
    };
    rig.factory.masterLog->events->ExchangeEvent(
        QVariantList{QVariant::fromValue(quint8(2)), 0, 3, 4, QVariant(), 1});
    EXPECT_EQ(seen, (QList<QList<qint32>>{{0, 3, 4, 1}}));
    EXPECT_EQ(rig.mbm.LastErr(), 1);
    EXPECT_EQ(cb->qids, QList<qint32>{0});
}

TEST(CallBackList, RequestAndRelease) {
    TModbusMaster m;
    auto a = std::make_shared<Recorder>(), b = std::make_shared<Recorder>(),
         c = std::make_shared<Recorder>(), d = std::make_shared<Recorder>();
    EXPECT_EQ(m.RequestQID(a), 0);
    EXPECT_EQ(m.RequestQID(b), 1);
    EXPECT_EQ(m.RequestQID(c), 2);
    m.ReleaseQID(b);
    EXPECT_EQ(m.NilCount(), 1);
    EXPECT_EQ(m.RequestQID(d), 1); // the empty slot is reused
    EXPECT_EQ(m.NilCount(), 0);
    // Releasing the highest QID trims the list to the last occupied slot.
    m.ReleaseQID(qint32(1));
    m.ReleaseQID(c);
    EXPECT_EQ(m.CallBackCount(), 1);
    EXPECT_EQ(m.NilCount(), 0);
    // Release by QID does not trim.
    EXPECT_EQ(m.RequestQID(b), 1);
    m.ReleaseQID(qint32(1));
    EXPECT_EQ(m.CallBackCount(), 2);
    m.ReleaseQID(qint32(7)); // outside: nothing
    m.ReleaseQID(qint32(-1));
    EXPECT_EQ(m.NilCount(), 1);
}

TEST(CallBackList, NotifyIgnoresBadSlotsAndSwallowsErrors) {
    TModbusMaster m;
    auto a = std::make_shared<Recorder>(), b = std::make_shared<Recorder>();
    a->fail = true;
    EXPECT_EQ(m.RequestQID(a), 0);
    EXPECT_EQ(m.RequestQID(b), 1);
    m.ReleaseQID(qint32(1));
    EXPECT_NO_THROW(m.NotifyCallBack(&m, 0, 1, 3, 0, 0));
    EXPECT_NO_THROW(m.NotifyCallBack(&m, 1, 1, 3, 0, 0)); // empty slot
    EXPECT_NO_THROW(m.NotifyCallBack(&m, 5, 1, 3, 0, 0));
    EXPECT_NO_THROW(m.NotifyCallBack(&m, -1, 1, 3, 0, 0));
    EXPECT_EQ(a->qids, QList<qint32>{0});
    EXPECT_TRUE(b->qids.isEmpty());
}

TEST(ProcessedFlags, WaitForQID) {
    TModbusMaster m;
    qint32 q = 0;
    EXPECT_FALSE(m.WaitForQID(0, 1000)); // no slots: false at once
    EXPECT_FALSE(m.WaitForAnyQID(q, 1000));
    m.AddQIDSlots(2);
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(m.WaitForQID(1, 50)); // the time limit is honoured
    EXPECT_GE(t.elapsed(), 45);
    QTimer::singleShot(20, [&] { m.SetQID(1); });
    EXPECT_TRUE(m.WaitForQID(1, 5000));
    m.ResetQID(1);
    EXPECT_FALSE(m.WaitForQID(1, 0));
}

TEST(Transport, ServerSettingsArrayAndPropsArray) {
    LiveRig rig;
    auto& props = rig.factory.transportLog->props;
    ASSERT_EQ(props.size(), 1); // sent before the channel was opened
    EXPECT_EQ(sig(props[0]), "[UI1 0, STR COM1, UI4 4, UI4 0, I4 500, I4 10, I4 10]");
    rig.rs.SetSpeed(cts600);
    EXPECT_EQ(sig(props.last()), "[UI1 0, STR COM1, UI4 8, UI4 0, I4 500, I4 10, I4 10]");
    rig.rs.SetSpeed(cts600); // unchanged value: still pushed
    EXPECT_EQ(props.size(), 3);
    EXPECT_EQ(sig(rig.rs.Props()),
              "[UI1 0, STR COM1, UI1 8, UI1 0, I4 500, I4 10, I4 10, STR , BOOL false]");
    props.clear();
    rig.rs.SetPropsValue(QVariantList{0, "COM0", "3", 1, 100, 5, 2, "host", true});
    ASSERT_EQ(props.size(), 1); // one array at the end of the update
    EXPECT_EQ(sig(props[0]), "[UI1 0, STR COM0, UI4 3, UI4 1, I4 100, I4 5, I4 2]");
    EXPECT_EQ(rig.rs.ConnectKind(), TConnectKind::ckRemote);
    EXPECT_EQ(rig.mbm.ConnectKind(), TConnectKind::ckRemote);
    EXPECT_EQ(rig.mbm.RemoteMachineName(), "host");
}

TEST(Transport, PortNameCheck) {
    const struct {
        const char* name;
        bool valid;
    } cases[] = {{"COM1", true},    {"com7", true},    {"COM255", true}, {"COM0", false},
                 {"COM256", false}, {"COM", false},    {"LPT1", false},  {"COMx", false},
                 {"CO", false},     {"COM$10", false}, {"COM-1", false}, {"COM1 ", false}};
    for (const auto& c : cases)
        EXPECT_EQ(IsValidPortName(QString::fromLatin1(c.name)), c.valid) << c.name;

    RecordingSink sink;
    fakes::FakeFactory factory;
    TRS232Transport rs;
    rs.SetServerObjectFactory(factory);
    rs.SetMessageSink(&sink);
    rs.SetPort("LPT1");
    EXPECT_EQ(rs.Port(), "COM1");
    EXPECT_EQ(sink.messages, QStringList{"Неверно задан параметр!"});
    rs.SetPort("com7");
    EXPECT_EQ(rs.Port(), "com7");
    EXPECT_TRUE(factory.transportLog->props.isEmpty()); // no server object yet: nothing sent
}

TEST(Transport, UnreachableServerLeavesChannelDown) {
    fakes::FakeFactory factory;
    factory.reachable = false;
    TRS232Transport rs;
    rs.SetServerObjectFactory(factory);
    int events = 0;
    rs.OnChangeConnected = [&](QObject*, bool) { ++events; };
    rs.OnStateChanged = [&](QObject*, qint32, qint32, const QString&) { ++events; };
    rs.SetLiveChannel(true);
    EXPECT_FALSE(rs.LiveChannel());
    EXPECT_EQ(rs.ServerObject(), nullptr);
    EXPECT_EQ(events, 0);
}

TEST(Transport, StateEventsDriveMastersAndConnection) {
    LiveRig rig;
    QList<bool> connected;
    QStringList states;
    rig.rs.OnChangeConnected = [&](QObject* s, bool c) {
        EXPECT_EQ(s, &rig.rs);
        connected << c;
    };
    rig.rs.OnStateChanged = [&](QObject*, qint32 o, qint32 n, const QString& msg) {
        states << QStringLiteral("%1>%2 '%3'").arg(o).arg(n).arg(msg);
    };
    EXPECT_TRUE(rig.rs.LiveChannel());
    EXPECT_EQ(rig.factory.transportLog->connected, QList<bool>{true});
    EXPECT_EQ(rig.factory.transportLog->attached, QList<qint32>{currentProcessId()});

    rig.factory.transportLog->events->StateChangedEvent(1, 5, 123); // other state: event only
    EXPECT_EQ(states, QStringList{"1>5 ''"});
    EXPECT_TRUE(connected.isEmpty());
    EXPECT_EQ(rig.mbm.TransportID(), 7);

    rig.factory.transportLog->events->StateChangedEvent(1, 0, -1);
    EXPECT_EQ(connected, QList<bool>{false});
    EXPECT_FALSE(rig.rs.LiveChannel());
    EXPECT_EQ(rig.mbm.ServerObject(), nullptr);
    EXPECT_EQ(rig.rs.ServerObject(), nullptr);
    EXPECT_EQ(rig.factory.masterLog->alive, 0);
    EXPECT_EQ(rig.factory.transportLog->detached, QList<qint32>{currentProcessId()});

    // A later LiveChannel := true connects again.
    rig.rs.SetLiveChannel(true);
    rig.factory.transportLog->events->StateChangedEvent(0, 1, 8);
    EXPECT_EQ(rig.mbm.TransportID(), 8);
    EXPECT_NE(rig.mbm.ServerObject(), nullptr);
}

TEST(Transport, KeepAliveKeepsServerObject) {
    LiveRig rig;
    rig.rs.SetKeepAliveOnDisconnect(true);
    rig.factory.transportLog->events->StateChangedEvent(1, 0, -1);
    EXPECT_NE(rig.rs.ServerObject(), nullptr);
    EXPECT_EQ(rig.mbm.ServerObject(), nullptr);
}

TEST(Subscription, MasterFollowsItsTransport) {
    fakes::FakeFactory factory;
    auto* rs = new TRS232Transport;
    rs->SetServerObjectFactory(factory);
    rs->SetLiveChannel(true);
    factory.transportLog->events->StateChangedEvent(0, 1, 3);
    TModbusMaster m;
    m.SetTransport(rs); // live transport: connects at once
    EXPECT_NE(m.ServerObject(), nullptr);
    EXPECT_EQ(factory.masterLog->transportIds, QList<qint32>{3});
    m.SetTransport(rs); // same transport: nothing
    EXPECT_EQ(factory.mastersCreated, 1);
    EXPECT_EQ(rs->Masters().size(), 1);

    m.SetTransport(nullptr); // stays connected and bound
    EXPECT_NE(m.ServerObject(), nullptr);
    EXPECT_EQ(m.TransportID(), 3);
    EXPECT_TRUE(rs->Masters().isEmpty());

    m.SetTransport(rs);
    delete rs; // destroying the transport releases the master's server object
    EXPECT_EQ(m.Transport(), nullptr);
    EXPECT_EQ(m.ServerObject(), nullptr);
    EXPECT_EQ(m.TransportID(), -1);
}

TEST(Subscription, DestroyedMasterLeavesTheList) {
    fakes::FakeFactory factory;
    TRS232Transport rs;
    rs.SetServerObjectFactory(factory);
    {
        TModbusMaster m;
        m.SetTransport(&rs);
        EXPECT_EQ(rs.Masters().size(), 1);
    }
    EXPECT_TRUE(rs.Masters().isEmpty());
    rs.SetLiveChannel(true);
    EXPECT_NO_THROW(factory.transportLog->events->StateChangedEvent(0, 1, 1));
}

TEST(Settings, BeginEndUpdate) {
    LiveRig rig;
    auto& tprops = rig.factory.transportLog->props;
    auto& mprops = rig.factory.masterLog->props;
    tprops.clear();
    mprops.clear();
    rig.rs.EndUpdate(); // transport: only after BeginUpdate
    EXPECT_TRUE(tprops.isEmpty());
    rig.rs.BeginUpdate();
    rig.rs.SetRetries(1);
    rig.rs.SetAnswerDelay(50);
    EXPECT_TRUE(tprops.isEmpty());
    rig.rs.EndUpdate();
    EXPECT_EQ(tprops.size(), 1);
    rig.mbm.EndUpdate(); // master: always
    EXPECT_EQ(mprops.size(), 1);
}

TEST(DesignTime, NoSubscriptionsNoServer) {
    fakes::FakeFactory factory;
    TRS232Transport rs(nullptr, true);
    rs.SetServerObjectFactory(factory);
    TModbusMaster m(nullptr, true);
    m.SetTransport(&rs);
    EXPECT_TRUE(rs.Masters().isEmpty());
    rs.SetLiveChannel(true);
    EXPECT_EQ(factory.transportsCreated, 0);
}

TEST(Wrappers, OperationWithoutObjectRaises) {
    fakes::FakeFactory factory;
    factory.reachable = false;
    TAnyMaster am(factory);
    try {
        am.SetTransportID(1);
        FAIL() << "no error";
    } catch (const ServerError& e) {
        EXPECT_TRUE(e.message().startsWith("DefaultInterface is NULL. Компонент не подключен"));
    }
}
