// SPDX-License-Identifier: MIT
// What collectors keep in the archive: leases on instruments, and each instrument's state.
#include "archivetestfixture.h"

#include <QSqlQuery>

#include <atomic>
#include <thread>

namespace {

const QString kA = QStringLiteral("collector-a");
const QString kB = QStringLiteral("collector-b");

// One holder at a time, its own lease renewed by taking it again, a released or expired lease free
// for the next; the holder whose lease another took over cannot renew it.
TEST_P(ArchiveTest, LeaseHasOneHolderUntilReleasedOrExpired) {
    auto a = Open();
    auto b = Open();
    const QString meter = QStringLiteral("Котельная 1");
    struct Step {
        TJournalArchive* archive;
        const char* call; // take, renew, release
        QString holder;
        int ttlMs;
        bool expected;
    };
    const Step steps[] = {
        {a.get(), "take", kA, 60000, true}, {b.get(), "take", kB, 60000, false},
        {a.get(), "take", kA, 60000, true}, {b.get(), "renew", kB, 60000, false},
        {a.get(), "renew", kA, 300, true},  {a.get(), "wait", kA, 400, true},
        {b.get(), "take", kB, 60000, true}, {a.get(), "renew", kA, 60000, false},
        {a.get(), "release", kA, 0, true},  {a.get(), "take", kA, 60000, false},
        {b.get(), "release", kB, 0, true},  {a.get(), "take", kA, 60000, true},
    };
    for (const Step& s : steps) {
        const std::string call = s.call;
        std::optional<bool> result;
        if (call == "take")
            result = s.archive->TakeLease(meter, s.holder, s.ttlMs);
        else if (call == "renew")
            result = s.archive->RenewLease(meter, s.holder, s.ttlMs);
        else if (call == "release")
            result = s.archive->ReleaseLease(meter, s.holder);
        else {
            QThread::msleep(ulong(s.ttlMs)); // "wait"
            result = true;
        }
        ASSERT_TRUE(result) << call << ": " << s.archive->error().toStdString();
        EXPECT_EQ(*result, s.expected) << call << " by " << s.holder.toStdString();
    }
    EXPECT_EQ(b->LeaseHolder(meter).value_or(QString()), kA);
    EXPECT_EQ(b->LeaseHolder(QStringLiteral("нет такого")).value_or(QStringLiteral("?")),
              QString());
}

// Takers on threads of their own, each with its own connection, race for a few instruments: while
// one holds an instrument no other does.
TEST_P(ArchiveTest, TwoTakersNeverHoldOneInstrument) {
    Open(); // the schema exists before the takers start
    constexpr int kInstruments = 3, kTakers = 4, kRounds = 25;
    std::atomic<int> holders[kInstruments] = {};
    std::atomic<int> overlaps{0}, taken{0}, failures{0};
    std::vector<std::thread> takers;
    for (int t = 0; t < kTakers; ++t)
        takers.emplace_back([&, t] {
            TJournalArchive archive;
            if (!archive.Open(m_url)) {
                ++failures;
                return;
            }
            const QString me = QStringLiteral("taker-%1").arg(t);
            for (int round = 0; round < kRounds; ++round) {
                const int i = (round + t) % kInstruments;
                const QString name = QStringLiteral("прибор %1").arg(i);
                const auto got = archive.TakeLease(name, me, 60000);
                failures += got ? 0 : 1;
                if (!got || !*got)
                    continue;
                ++taken;
                overlaps += holders[i]++ > 0 ? 1 : 0;
                QThread::msleep(2);
                --holders[i];
                failures += archive.ReleaseLease(name, me) ? 0 : 1;
            }
        });
    for (auto& t : takers)
        t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(overlaps, 0);
    EXPECT_GT(taken, kRounds);
}

// An instrument's state comes back as it was kept, replaced by the next; its latest series are
// found by its port, address and device. An archive older than the collectors lists no state.
TEST_P(ArchiveTest, KeepsTheStateOfInstruments) {
    const auto first = Write(0, 10, 1);
    const auto second = Write(0, 5, 2, {}, std::nullopt, 2);
    auto archive = Open();
    TInstrumentState s;
    s.instrument = QStringLiteral("Котельная 1");
    s.line = QStringLiteral("tcp://127.0.0.1:1502");
    s.port = QStringLiteral("COM5"); // Reading() stores COM5, address 7
    s.address = 7;
    s.deviceName = QStringLiteral("Регулятор РТ-10");
    s.journals = {1, 2, 3};
    s.lastReading = QDateTime::fromMSecsSinceEpoch(1700000000000);
    s.newRecords = 10;
    s.failedRecords = 1;
    s.state = TCollectState::Failing;
    s.failingSince = s.lastReading;
    s.error = QStringLiteral("Прибор не отвечает");
    s.collector = kA;
    ASSERT_TRUE(archive->StoreInstrumentState(s)) << archive->error().toStdString();
    s.nextReading = s.lastReading.addSecs(900);
    ASSERT_TRUE(archive->StoreInstrumentState(s));
    auto other = s;
    other.instrument = QStringLiteral("Абонент");
    other.state = TCollectState::Stopped;
    other.error = QString(); // no error: stored as an empty text
    ASSERT_TRUE(archive->StoreInstrumentState(other)) << archive->error().toStdString();

    const auto states = archive->InstrumentStates();
    ASSERT_TRUE(states && states->size() == 2u) << archive->error().toStdString();
    const TInstrumentState& back = (*states)[1];
    EXPECT_EQ((*states)[0].instrument, other.instrument);
    EXPECT_EQ((*states)[0].state, TCollectState::Stopped);
    EXPECT_EQ(back.instrument, s.instrument);
    EXPECT_EQ(back.journals, s.journals);
    EXPECT_EQ(back.lastReading, s.lastReading);
    EXPECT_EQ(back.failingSince, s.failingSince);
    EXPECT_EQ(back.nextReading, s.nextReading);
    EXPECT_EQ(back.error, s.error);
    EXPECT_EQ(back.newRecords, 10);
    EXPECT_EQ(back.failedRecords, 1);

    const auto series = archive->InstrumentSeries(s);
    ASSERT_TRUE(series);
    const std::vector<std::pair<int, qint64>> expected = {{1, *first.seriesId},
                                                          {2, *second.seriesId}};
    EXPECT_EQ(*series, expected);

    {
        QSqlDatabase db = RawConnection(QStringLiteral("older"));
        ASSERT_TRUE(db.open());
        QSqlQuery query(db);
        ASSERT_TRUE(query.exec(QStringLiteral("UPDATE archive_schema SET version = 2")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("older"));
    TJournalArchive older;
    ASSERT_TRUE(older.Open(m_url, kDefaultBusyTimeoutMs, TOpenMode::ReadOnly))
        << older.error().toStdString();
    const auto none = older.InstrumentStates();
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
}

// (ArchiveTest is instantiated for both engines in archive_test.cpp.)

} // namespace
