// SPDX-License-Identifier: MIT
// The answer ledger's decisions from time points alone: tries sent and answers seen at given
// milliseconds, and what is still due, how long to listen and when listening ends.
#include "accesslib/frames/answerledger.h"
#include "accesslib/frames/rtuframe.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using ombrel::AnswerLedger;
using std::chrono::milliseconds;

// Answer time 500 ms, slack 70 ms (a character time-out and a frame time).
AnswerLedger ledger() {
    return AnswerLedger(milliseconds(500), milliseconds(70));
}

const AnswerLedger::Clock::time_point t0 = AnswerLedger::Clock::now();

AnswerLedger::Clock::time_point at(int ms) {
    return t0 + milliseconds(ms);
}

long long sinceStart(AnswerLedger::Clock::time_point t) {
    return std::chrono::duration_cast<milliseconds>(t - t0).count();
}

QByteArray frame(const char* hex) {
    QByteArray body = QByteArray::fromHex(hex);
    const quint16 crc = ombrel::crc16(body);
    return body + char(crc & 0xFF) + char(crc >> 8);
}

TEST(AnswerLedger, DecidesFromTimePoints) {
    struct Event {
        char kind; // 's' a try sent, 'a' an answer, 'g' a garbled answer
        int at;
    };
    const struct {
        const char* name;
        std::vector<Event> events;
        int now;
        int due, lateness, window, settledBy;
    } cases[] = {
        {"nothing sent", {}, 10, 0, 0, 570, 580},
        {"answered in time", {{'s', 0}, {'a', 100}}, 100, 0, 100, 570, 1070},
        {"no answer", {{'s', 0}}, 500, 1, 0, 570, 1070},
        // The answer seen during the second try is the first try's: later than the answer time,
        // so the next is awaited that much longer.
        {"late answer", {{'s', 0}, {'s', 520}, {'a', 700}}, 800, 1, 700, 770, 1790},
        {"garbled answer shows no lateness",
         {{'s', 0}, {'s', 520}, {'g', 1300}},
         1300,
         1,
         1300,
         570,
         1870},
        {"answer no try asked for", {{'s', 0}, {'a', 100}, {'a', 200}}, 200, 0, 100, 570, 1070},
        {"the largest lateness stands",
         {{'s', 0}, {'s', 520}, {'s', 1040}, {'a', 900}, {'a', 1100}},
         1200,
         1,
         580,
         970,
         2510},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AnswerLedger l = ledger();
        for (const Event& e : c.events) {
            if (e.kind == 's')
                l.sent(at(e.at));
            else
                l.answered(at(e.at), e.kind == 'g');
        }
        EXPECT_EQ(l.due(), c.due);
        EXPECT_EQ(std::chrono::duration_cast<milliseconds>(l.lastLateness()).count(), c.lateness);
        EXPECT_EQ(l.window().count(), c.window);
        EXPECT_EQ(sinceStart(l.settledBy(at(c.now))), c.settledBy);
    }
}

// Two tries went unanswered; listening starts at 1100 ms. Only whole frames of the addressed
// server with a good CRC count, and each moves the end of listening on by a window.
TEST(AnswerLedger, ListenerCountsAnswersAndEndsOnTime) {
    ombrel::registerJournalFunction();
    const QByteArray answer = frame("0104020102");
    QByteArray badCrc = answer;
    badCrc[badCrc.size() - 1] = char(badCrc.back() ^ 1);
    AnswerLedger l = ledger();
    l.sent(at(0));
    l.sent(at(520));
    ombrel::LateAnswerListener listener(l, 1, 4, at(1100));
    EXPECT_EQ(sinceStart(listener.deadline()), 1670);
    const struct {
        const char* what;
        int at;
        QByteArray bytes;
        int taken, due, deadline;
    } steps[] = {
        {"noise", 1200, QByteArray::fromHex("ff00fe"), 0, 2, 1670},
        {"first half of an answer", 1300, answer.left(3), 0, 2, 1670},
        // The first try's answer, 1350 ms late: the window grows to 1420 ms.
        {"its second half", 1350, answer.mid(3), 1, 1, 2770},
        {"a broken CRC", 1400, badCrc, 0, 1, 2770},
        {"another server's answer", 1500, frame("0204020102"), 0, 1, 2770},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(listener.take(s.bytes, at(s.at)), s.taken);
        EXPECT_EQ(l.due(), s.due);
        EXPECT_EQ(sinceStart(listener.deadline()), s.deadline);
    }
    EXPECT_FALSE(listener.done(at(2769)));
    EXPECT_TRUE(listener.done(at(2770))); // no answer within the window
    EXPECT_EQ(listener.take(answer, at(2000)), 1);
    EXPECT_TRUE(listener.done(at(2000))); // nothing due any more
}

} // namespace
