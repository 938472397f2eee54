// SPDX-License-Identifier: MIT
// Late answers through the exchange server: an instrument that answers after the answer time
// must never have one record's answer delivered as another's, whatever the retries, nor hand a
// killed client's late answer to the next client of the same port.
#include "../latecases.h"
#include "comm/comtransport.h"
#include "comm/modbusmaster.h"
#include "platform/devicelock.h"
#include "serverprocess.h"
#include "sim/simulator.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace comm;
using fixture::waitFor;

namespace {

constexpr int kRecords = 4;
const QVariant kTypes = QVariantList{19, 18, 19};

// Record i of the journal as the master decodes it: time, identifier, value.
QVariantList Expected(int i) {
    return {QVariant::fromValue(quint32(1600000000 + 60 * i)), QVariant::fromValue(quint16(i + 1)),
            QVariant::fromValue(quint32(100 + i))};
}

sim::Instrument Journal() {
    sim::Instrument inst;
    sim::Journal& j = inst.addJournal(1, sim::Layout::Plain);
    for (int i = 0; i < kRecords; ++i)
        j.records.append(sim::Instrument::fixedRecord(sim::Layout::Plain, 1600000000 + 60 * i,
                                                      quint16(i + 1), quint32(100 + i)));
    return inst;
}

class LateServerAnswers : public ::testing::Test {
protected:
    void SetUp() override {
        QString why;
        ASSERT_TRUE(simulator.start(&why)) << why.toStdString();
        server = std::make_unique<fixture::ServerProcess>(simulator.clientPath());
        ASSERT_TRUE(server->start(&why)) << why.toStdString();
        rs.SetPort(QStringLiteral("COM5"));
        rs.SetAnswerDelay(kLateAnswerTimeMs);
        rs.SetRetries(0);
        mbm.SetTransport(&rs);
    }
    void GoLive() {
        rs.SetLiveChannel(true);
        ASSERT_TRUE(waitFor([this] { return rs.LiveChannel(); }))
            << server->stderrText().toStdString();
    }

    sim::Simulator simulator{Journal()};
    std::unique_ptr<fixture::ServerProcess> server;
    TRS232Transport rs;
    TModbusMaster mbm;
};

TEST_F(LateServerAnswers, EveryAnswerIsItsOwnRecordsOrAnError) {
    GoLive();
    for (const LateCase& c : kLateCases) {
        SCOPED_TRACE(LateTrace(c));
        simulator.setFaults({*sim::parseFault(LateFault(c, 1))});
        rs.SetRetries(c.retries);
        int errors = 0;
        for (int i = 0; i < kRecords; ++i) {
            QVariant value;
            const qint32 rc = mbm.ReadIndexArchI(i + 1, 1, i, kTypes, value);
            if (rc != 0) {
                ++errors;
            } else {
                EXPECT_EQ(value.toList(), Expected(i)) << "record " << i;
            }
        }
        // With a retry every late answer is still taken for its own record.
        EXPECT_EQ(errors, LateErrors(c, kRecords));
    }
}

// Run by the next test as a child process: a client that reads a record in place and is killed
// while the instrument is still answering it.
TEST(LateServerAnswersClient, DISABLED_ReadsInPlaceUntilKilled) {
    TRS232Transport rs;
    TModbusMaster mbm;
    rs.SetPort(QStringLiteral("COM5"));
    rs.SetAnswerDelay(kLateAnswerTimeMs);
    rs.SetRetries(0);
    mbm.SetTransport(&rs);
    rs.SetLiveChannel(true);
    ASSERT_TRUE(waitFor([&] { return rs.LiveChannel(); }));
    QVariant value;
    (void)mbm.ReadIndexArchI(1, 1, 0, kTypes, value); // killed before it returns
    waitFor([] { return false; }, 10000);
}

TEST_F(LateServerAnswers, KilledClientsAnswerNeverReachesTheNextClient) {
    simulator.setFaults({*sim::parseFault(QStringLiteral("delay ms=%1 record=1:0").arg(kLateMs))});
    QProcess client;
    client.start(QCoreApplication::applicationFilePath(),
                 {"--gtest_also_run_disabled_tests",
                  "--gtest_filter=LateServerAnswersClient.DISABLED_ReadsInPlaceUntilKilled"});
    ASSERT_TRUE(client.waitForStarted(5000));
    // Killed once its request has reached the instrument, whose answer is then on its way.
    ASSERT_TRUE(waitFor([&] { return simulator.requestCount() > 0; }, 10000))
        << client.readAllStandardOutput().toStdString();
    client.kill();
    client.waitForFinished(5000);

    // The next client opens the same port at once and reads another record.
    ASSERT_TRUE(waitFor([&] {
        rs.SetLiveChannel(true);
        return waitFor([&] { return rs.LiveChannel(); }, 200);
    }));
    QVariant value;
    const qint32 rc = mbm.ReadIndexArchI(2, 1, 2, kTypes, value);
    EXPECT_EQ(rc, 0);
    if (rc == 0) {
        EXPECT_EQ(value.toList(), Expected(2));
    }
}

// A device another reader holds under another name (a symlink) is refused to the server too.
TEST(ServerDeviceLock, PortHeldUnderAnotherNameIsRefused) {
    sim::Simulator simulator{Journal()};
    QString why;
    ASSERT_TRUE(simulator.start(&why)) << why.toStdString();
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttyLINK"));
    ASSERT_TRUE(QFile::link(simulator.clientPath(), link));
    platform::DeviceLock holder;
    ASSERT_TRUE(holder.acquire(simulator.clientPath()));
    fixture::ServerProcess server(link);
    ASSERT_TRUE(server.start(&why)) << why.toStdString();

    TRS232Transport rs;
    rs.SetPort(QStringLiteral("COM5"));
    rs.SetLiveChannel(true);
    QString log;
    EXPECT_TRUE(waitFor([&] {
        log += server.stderrText();
        return log.contains(QStringLiteral("Порт %1 занят").arg(link));
    }));
    EXPECT_FALSE(rs.LiveChannel());
    holder.release();
    rs.SetLiveChannel(true);
    EXPECT_TRUE(waitFor([&] { return rs.LiveChannel(); }));
}

} // namespace
