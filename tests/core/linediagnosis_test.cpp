// SPDX-License-Identifier: MIT
#include "app/core/linediagnosis.h"

#include "app/core/instrumentsearch.h"

#include "tests/qstringprinter.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using core::TFrameEvent;
using core::TFrameKind;
using core::TLineCause;
using core::TTraceLink;

constexpr int kValid = TFrameEvent::Complete | TFrameEvent::CrcOk;
constexpr int kTaken = kValid | TFrameEvent::Taken;

// Recorded events in the library's terms: the request of journal 1's count register to address
// 1 with a 500 ms answer time, and what came back.
TFrameEvent Request(int attempt = 0, int function = 4, const char* hex = "01040000000131CA") {
    TFrameEvent e;
    e.bytes = QByteArray::fromHex(hex);
    e.address = 1;
    e.function = function;
    e.attempt = attempt;
    e.answerMs = 500;
    return e;
}

TFrameEvent Received(const char* hex, int flags, int address = 1, int offset = 0,
                     int elapsedMs = 20, TFrameKind kind = TFrameKind::Answer) {
    TFrameEvent e;
    e.kind = kind;
    e.bytes = QByteArray::fromHex(hex);
    e.flags = flags;
    e.address = address;
    e.function = address >= 0 ? 4 : -1;
    e.offset = offset;
    e.elapsedUs = elapsedMs * 1000LL;
    e.answerMs = 500;
    return e;
}

TFrameEvent Silence() {
    TFrameEvent e;
    e.kind = TFrameKind::Silence;
    e.answerMs = 500;
    e.elapsedUs = 500000;
    return e;
}

TFrameEvent Closed() {
    TFrameEvent e;
    e.kind = TFrameKind::Closed;
    return e;
}

// The events of `trace` as they come from a network endpoint of `link`.
std::vector<TFrameEvent> OnGateway(std::vector<TFrameEvent> trace,
                                   TTraceLink link = TTraceLink::ModbusTcp) {
    for (TFrameEvent& e : trace)
        e.link = link;
    return trace;
}

TFrameEvent Exception(int code) {
    TFrameEvent e = Received("01C10291A0", kTaken | TFrameEvent::Exception);
    e.function = 65;
    e.exception = code;
    return e;
}

struct Case {
    const char* name;
    std::vector<TFrameEvent> trace;
    std::optional<TLineCause> cause; // the likeliest; none: nothing wrong
    const char* phrase;              // a part of the text the user reads
    const char* absent = nullptr;    // a part it must not hold
};

} // namespace

TEST(LineDiagnosis, NamesTheCauseOfEachRecordedTrace) {
    const char* answer = "0104020E00BC30";
    const Case cases[] = {
        {"silent line",
         {Request(), Silence(), Request(1), Silence()},
         TLineCause::NoReply,
         "запросов: 2 (повторов: 1), без ответа: 2"},
        {"bytes without a frame",
         {Request(), Received("F00F33E1", 0, -1, 4), Request(1), Received("0F33", 0, -1, 2)},
         TLineCause::Garbled,
         "посылок без кадра: 2 (байт: 6)"},
        {"echo and nothing else",
         {Request(), Received("01040000000131CA", TFrameEvent::Echo, -1), Silence()},
         TLineCause::NoReply,
         "кроме эха запроса"},
        {"echo before the answer",
         {Request(), Received("01040000000131CA0104020E00BC30", kTaken | TFrameEvent::Echo)},
         TLineCause::Echo,
         "запросов с эхом: 1 из 1"},
        {"another address",
         {Request(), Received("0204020E00BC03", kValid, 2), Silence()},
         TLineCause::OtherAddress,
         "Укажите адрес прибора 2"},
        {"journal number refused",
         {Request(0, 65, "01410001000100000500"), Exception(2)},
         TLineCause::Exception,
         "номера журнала"},
        {"late answer",
         {Request(), Silence(), Request(1), Received(answer, kTaken, 1, 0, 750),
          Received(answer, kValid, 1, 0, 760, TFrameKind::Late)},
         TLineCause::LateAnswer,
         "до 1000 мс"},
        {"bad CRC",
         {Request(), Received("0104020E00BC31", TFrameEvent::Complete)},
         TLineCause::Damaged,
         "искажённых ответов: 1, верных: 0"},
        {"cut short", {Request(), Received("0104020E", 0)}, TLineCause::Damaged, "оборванный"},
        {"stray bytes before the answer",
         {Request(), Received("A5A5A50104020E00BC30", kTaken, 1, 3)},
         TLineCause::Noise,
         "лишних байт: 3 в 1 посылках"},
        {"gateway: the instrument behind it silent",
         OnGateway({Request(), Silence(), Request(1), Silence()}), TLineCause::NoReply,
         "Прибор за шлюзом не отвечает", "провода A и B"},
        {"gateway: answers to another transaction",
         OnGateway({Request(), Received(answer, kValid | TFrameEvent::OtherTransaction)}),
         TLineCause::OtherTransaction, "ответов с чужим номером транзакции: 1"},
        {"gateway: answers for another unit",
         OnGateway({Request(), Received("0204020E00BC03", kValid, 7), Silence()}),
         TLineCause::OtherAddress, "номером устройства (unit id 7), а запросы идут к номеру 1"},
        {"gateway: accepts and closes", OnGateway({Request(), Closed(), Request(1), Closed()}),
         TLineCause::Closed, "Шлюз закрывает соединение", "не пришло ни одного байта"},
        {"gateway: closes before the request", OnGateway({Closed()}), TLineCause::Closed,
         "закрытий соединения: 1"},
        {"gateway: no answer from the instrument behind it",
         OnGateway({Request(0, 65, "01410001000100000500"), Exception(11)}), TLineCause::Exception,
         "Прибор за шлюзом не ответил шлюзу"},
        {"gateway: not Modbus TCP", OnGateway({Request(), Received("F00F33E1", 0, -1, 4)}),
         TLineCause::Garbled, "rtu+tcp://", "Найти прибор"},
        {"gateway passing RTU frames: bad CRC",
         OnGateway({Request(), Received("0104020E00BC31", TFrameEvent::Complete)},
                   TTraceLink::RtuOverTcp),
         TLineCause::Damaged, "между шлюзом и прибором"},
        {"clean exchange", {Request(), Received(answer, kTaken)}, std::nullopt, ""},
        {"no request yet", {}, std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        core::TLineDiagnosis diagnosis;
        for (const TFrameEvent& e : c.trace)
            diagnosis.OnFrame(e);
        const auto findings = diagnosis.Findings();
        if (!c.cause) {
            EXPECT_TRUE(findings.empty());
            EXPECT_TRUE(diagnosis.Text().isEmpty());
            continue;
        }
        ASSERT_FALSE(findings.empty());
        EXPECT_EQ(findings.front().cause, *c.cause);
        const QString text = diagnosis.Text();
        EXPECT_TRUE(text.startsWith(QStringLiteral("Вероятная причина: "))) << text.toStdString();
        EXPECT_TRUE(text.contains(QString::fromUtf8(c.phrase))) << text.toStdString();
        if (c.absent) {
            EXPECT_FALSE(text.contains(QString::fromUtf8(c.absent))) << text.toStdString();
        }
    }
}

TEST(LineTrace, LinesShowTimeDirectionBytesAndMeaning) {
    TFrameEvent request = Request(2);
    request.timeUs = 1600000000123456LL;
    const QString line = core::TraceLine(request);
    EXPECT_TRUE(line.endsWith(QStringLiteral(
        ".123456  →  01 04 00 00 00 01 31 CA  запрос: адрес 1, функция 4 (повтор 2)")))
        << line.toStdString();
    EXPECT_EQ(
        core::TraceMeaning(Exception(2)),
        QStringLiteral("исключение 2 (Ошибочный адрес): адрес 1, функция 65, принят, 20,0 мс"));
    EXPECT_EQ(core::TraceMeaning(Received("01040000000131CAFF", TFrameEvent::Echo, -1, 1)),
              QStringLiteral("эхо запроса, байты без кадра: 1, 20,0 мс"));
    EXPECT_EQ(core::TraceMeaning(Silence()), QStringLiteral("нет ответа за 500 мс"));
    // A stretch the library cut, shown shorter still: the bytes left out are counted.
    TFrameEvent flood = Received("0104020E00BC30A5A5", kTaken);
    flood.omitted = 100;
    EXPECT_TRUE(core::TraceLine(flood, 2).contains(QStringLiteral("  01 04 … ещё 107 байт  ")));
    EXPECT_FALSE(core::IsTraceFault(Received("0104020E00BC30", kTaken)));
    EXPECT_TRUE(core::IsTraceFault(Received("0104020E00BC31", TFrameEvent::Complete)));
}

// Frames of a journal record name it and their try, in the list's column and at the end of a
// trace line; an exchange that asks for no record keeps its retry in the meaning.
TEST(LineTrace, FramesNameTheirRecord) {
    const auto of = [](TFrameEvent e, std::int64_t record, int attempt) {
        e.record = record;
        e.attempt = attempt;
        return e;
    };
    const struct {
        const char* what;
        TFrameEvent event;
        const char* record;
        const char* lineEnd;
    } cases[] = {
        {"request", of(Request(), 5, 0), "5", "запрос: адрес 1, функция 4; запись 5"},
        {"its retry", of(Request(), 5, 2), "5, повтор 2",
         "запрос: адрес 1, функция 4; запись 5, повтор 2"},
        {"the retry's silence", of(Silence(), 65535, 2), "65535, повтор 2",
         "нет ответа за 500 мс; запись 65535, повтор 2"},
        {"bytes dropped late: no try",
         of(Received("0104020E00BC30", kValid, 1, 0, 20, TFrameKind::Late), 5, 1), "5",
         "20,0 мс; запись 5"},
        {"count register", of(Request(), -1, 1), "", "запрос: адрес 1, функция 4 (повтор 1)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(core::TraceRecord(c.event).toStdString(), c.record) << c.what;
        const QString line = core::TraceLine(c.event);
        EXPECT_TRUE(line.endsWith(QString::fromUtf8(c.lineEnd))) << line.toStdString();
    }
}

// Advice that names a value carries it; where the value is set depends on who reads the advice.
// The failed records are listed in runs.
TEST(LineDiagnosis, AdviceCarriesItsSettingAndTheFailedRecordsAreListed) {
    core::TLineDiagnosis late;
    for (const TFrameEvent& e : {Request(), Received("0104020E00BC30", kTaken, 1, 0, 750)})
        late.OnFrame(e);
    ASSERT_FALSE(late.Findings().empty());
    EXPECT_EQ(late.Findings().front().setting.kind, core::TLineSetting::AnswerTime);
    EXPECT_EQ(late.Findings().front().setting.value, 1000);
    const QString window = late.Text(core::TAdviceFor::Window);
    EXPECT_TRUE(window.contains("до 1000 мс («Применить» ниже или «Параметры связи...»)"))
        << window.toStdString();
    EXPECT_FALSE(window.contains("journal-read") || window.contains("--"));
    EXPECT_TRUE(late.Text(core::TAdviceFor::CommandLine)
                    .contains("до 1000 мс (--timeout 1000 или AnswerTime в [Settings] main.ini)."));

    // A gateway's answers to other requests: the answer time is named without a value.
    core::TLineDiagnosis stale;
    for (const TFrameEvent& e :
         OnGateway({Request(), Received("0104020E00BC30", kValid | TFrameEvent::OtherTransaction)}))
        stale.OnFrame(e);
    EXPECT_TRUE(stale.Text(core::TAdviceFor::Window)
                    .contains("Увеличьте время ожидания ответа («Параметры связи...»): "))
        << stale.Text(core::TAdviceFor::Window).toStdString();
    EXPECT_TRUE(stale.Text(core::TAdviceFor::CommandLine)
                    .contains("ответа (--timeout МС или AnswerTime в [Settings] main.ini): "));

    core::TLineDiagnosis other;
    for (const TFrameEvent& e : {Request(), Received("0204020E00BC03", kValid, 2)})
        other.OnFrame(e);
    EXPECT_EQ(other.Findings().front().setting.kind, core::TLineSetting::Address);
    EXPECT_EQ(other.Findings().front().setting.value, 2);

    const struct {
        std::vector<std::int64_t> records;
        int shown;
        const char* text;
    } lists[] = {{{}, 20, ""},
                 {{7}, 20, "Сбойные записи (1): 7"},
                 {{1, 2, 3, 7, 9, 10}, 20, "Сбойные записи (6): 1–3, 7, 9–10"},
                 {{1, 3, 5, 7, 8}, 2, "Сбойные записи (5): 1, 3 … ещё 3"}};
    for (const auto& l : lists)
        EXPECT_EQ(core::FailedRecordsText(l.records, l.shown).toStdString(), l.text);
}

// The search asks for the journal's count register only where the library can address it; any
// other reference would be refused without a frame, which reads as an answer at every address.
TEST(InstrumentSearch, AsksForTheCountRegisterOnlyWhereItCanBeAddressed) {
    const std::pair<int, int> cases[] = {{-1, 0},          {300001, 300001}, {365536, 365536},
                                         {365537, 0},      {400000, 0},      {400001, 400001},
                                         {465536, 465536}, {465537, 0}};
    for (const auto& [reg, asked] : cases) {
        TJournalInfo journal;
        journal.Reg = reg;
        EXPECT_EQ(core::SearchRequestFor(1, 0, 9600, &journal).countRegister, asked) << reg;
    }
}
