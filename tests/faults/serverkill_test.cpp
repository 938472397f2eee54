// SPDX-License-Identifier: MIT
// The exchange server killed in the middle of reading a journal: what was answered stays
// correct, every later read fails promptly with an error instead of waiting or answering with
// another record's data, and a new server serves the same components again.
#include "comm/comtransport.h"
#include "comm/modbusmaster.h"
#include "serverprocess.h"
#include "tests/simulatorfixture.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace comm;
using fixture::waitFor;

namespace {

constexpr int kKillAfter = 4;
constexpr int kReads = 12;

QVariantList ExpectedRecord(int index) {
    const quint32 times[] = {1689305808, 1689305900, 1689306000};
    const quint16 ids[] = {7, 8, 9};
    return {QVariant::fromValue(times[index]), QVariant::fromValue(ids[index]),
            QVariant::fromValue(quint32(index + 1))};
}

class ServerKilledMidRead : public ::testing::Test {
protected:
    static sim::Instrument Journal() {
        sim::Instrument inst;
        sim::Journal& j = inst.addJournal(1, sim::Layout::Plain);
        for (int i = 0; i < 3; ++i) {
            const QVariantList r = ExpectedRecord(i);
            j.records.append(sim::Instrument::fixedRecord(sim::Layout::Plain, r[0].value<quint32>(),
                                                          r[1].value<quint16>(), quint32(i + 1)));
        }
        return inst;
    }
    void SetUp() override {
        ASSERT_TRUE(instrument) << simulatorError.toStdString();
        QString why;
        ASSERT_TRUE(server.start(&why)) << why.toStdString();
        rs.SetPort(QStringLiteral("COM5"));
        rs.SetAnswerDelay(kAnswerMs);
        rs.SetRetries(0);
        mbm.SetTransport(&rs);
        rs.OnChangeConnected = [this](QObject*, bool c) { connected << c; };
        GoLive();
    }
    void GoLive() {
        rs.SetLiveChannel(true);
        ASSERT_TRUE(waitFor([this] { return rs.LiveChannel(); }))
            << server.stderrText().toStdString();
    }

    static constexpr int kAnswerMs = 1000;
    QString simulatorError; // why the simulator did not start
    std::unique_ptr<sim::Simulator> instrument =
        fixture::StartSimulator(Journal(), {}, &simulatorError);
    fixture::ServerProcess server{instrument ? instrument->clientPath() : QString()};
    TRS232Transport rs;
    TModbusMaster mbm;
    QList<bool> connected;
};

TEST_F(ServerKilledMidRead, InPlaceReadsFailPromptlyAndNothingWrongIsAnswered) {
    const QVariant types = QVariantList{19, 18, 19};
    int answered = 0, thrown = 0;
    qint64 longest = 0;
    for (int i = 0; i < kReads; ++i) {
        if (i == kKillAfter)
            server.kill();
        QVariant value;
        QElapsedTimer t;
        t.start();
        // A call on a server that has gone raises ServerError (as a call on a vanished
        // automation server does); here it counts as a failed read.
        qint32 rc = -1;
        try {
            rc = mbm.ReadIndexArchI(i + 1, 1, i % 3, types, value);
        } catch (const ServerError&) {
            ++thrown;
        }
        longest = std::max(longest, t.elapsed());
        if (rc == 0) {
            ++answered;
            EXPECT_EQ(value.toList(), ExpectedRecord(i % 3)) << "read " << i;
        }
        if (i < kKillAfter)
            EXPECT_EQ(rc, 0) << "read " << i;
        else
            EXPECT_NE(rc, 0) << "read " << i;
    }
    EXPECT_EQ(answered, kKillAfter);
    EXPECT_GE(thrown, 1);
    // No read waits beyond the answer time (plus the time the server takes to be seen gone).
    EXPECT_LE(longest, kAnswerMs + 1000);
    ASSERT_TRUE(waitFor([this] { return connected.size() == 2; }));
    EXPECT_EQ(connected, (QList<bool>{true, false}));

    // A new server: the same components read again.
    QString why;
    ASSERT_TRUE(server.start(&why)) << why.toStdString();
    GoLive();
    QVariant value;
    EXPECT_EQ(mbm.ReadIndexArchI(100, 1, 2, types, value), 0);
    EXPECT_EQ(value.toList(), ExpectedRecord(2));
}

TEST_F(ServerKilledMidRead, QueuedReadsEndWithoutHangingOrWrongAnswers) {
    QList<std::pair<qint32, qint32>> results; // QID, result
    mbm.OnExchange = [&](QObject*, qint32 qid, qint32, qint32, const QVariant& v, qint32 r) {
        results.append({qid, r});
        if (r == 0) {
            EXPECT_EQ(v.toList(), ExpectedRecord((qid - 1) % 3)) << "QID " << qid;
        }
    };
    for (int i = 0; i < kReads; ++i)
        mbm.ReadIndexArch(i + 1, 1, 1, i % 3, QVariantList{19, 18, 19});
    ASSERT_TRUE(waitFor([&] { return results.size() >= 2; }));
    server.kill();
    // The loss is seen within a bounded time; no answer comes after it.
    ASSERT_TRUE(waitFor([this] { return connected.size() == 2; }, 5000));
    const auto seen = results.size();
    waitFor([] { return false; }, 300);
    EXPECT_EQ(results.size(), seen);
    EXPECT_LT(seen, kReads + 1);
}

} // namespace
