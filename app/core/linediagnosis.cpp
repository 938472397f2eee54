// SPDX-License-Identifier: MIT
#include "app/core/linediagnosis.h"

#include "comm/ipc/resultcodes.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace core {
namespace {

constexpr int kJournalFunction = 65;
// A sample frame shows this many bytes; the rest is only counted, so that a flood makes no
// sample longer than a line.
constexpr qsizetype kSampleBytes = 32;

QString JoinNumbers(const std::set<int>& numbers) {
    QStringList list;
    for (int n : numbers)
        list << QString::number(n);
    return list.join(QStringLiteral(", "));
}

// What an exception to a function means for the reading, and what to do.
QString ExceptionAdvice(int function, int code) {
    if (code == 1)
        return QStringLiteral("Прибор не выполняет функцию %1: проверьте, тот ли тип прибора "
                              "выбран.")
            .arg(function);
    if (code == 2 || code == 3)
        return function == kJournalFunction
                   ? QStringLiteral("Прибор не знает такого номера журнала или записи: проверьте "
                                    "выбранный тип прибора и журнал.")
                   : QStringLiteral("Прибор не знает запрошенного регистра: проверьте, тот ли тип "
                                    "прибора выбран.");
    if (code == 5 || code == 6)
        return QStringLiteral("Прибор занят: повторите чтение позже.");
    // The exceptions a Modbus gateway gives for the instrument behind it.
    if (code == 10)
        return QStringLiteral("Шлюз не находит пути к прибору: проверьте настройки шлюза и адрес "
                              "прибора (для шлюза — номер устройства, unit id).");
    if (code == 11)
        return QStringLiteral("Прибор за шлюзом не ответил шлюзу: проверьте адрес прибора, его "
                              "питание, линию между шлюзом и прибором и настройки порта шлюза "
                              "(скорость, чётность).");
    return QStringLiteral("Проверьте, тот ли тип прибора выбран.");
}

// A finding's title and advice, which depend on the link: the wires and the port's settings of a
// serial line, the gateway and the line behind it on a network endpoint.
struct TWords {
    QString title;
    QString advice;
};

TWords NoReplyWords(TTraceLink link, bool echo) {
    if (link != TTraceLink::Serial)
        return {QStringLiteral("Прибор за шлюзом не отвечает: шлюз принимает запросы, но не "
                               "пришло ни одного байта"),
                QStringLiteral("Проверьте адрес прибора (для шлюза — номер устройства, unit id), "
                               "питание прибора, линию между шлюзом и прибором и настройки "
                               "последовательного порта шлюза (скорость, чётность); адрес "
                               "подберёт «Найти прибор».")};
    return {echo ? QStringLiteral("Прибор не отвечает: кроме эха запроса, не пришло ни одного "
                                  "байта")
                 : QStringLiteral("Прибор не отвечает: не пришло ни одного байта"),
            QStringLiteral("Проверьте питание прибора, подключение линии (провода A и B не "
                           "перепутаны), выбранный порт; адрес и скорость должны совпадать с "
                           "настройками прибора — их подберёт «Найти прибор».")};
}

TWords GarbledWords(TTraceLink link) {
    switch (link) {
    case TTraceLink::ModbusTcp:
        return {QStringLiteral("Шлюз отвечает не кадрами Modbus TCP"),
                QStringLiteral("Возможно, шлюз передаёт кадры RTU как есть: тогда укажите порт "
                               "как rtu+tcp://адрес:порт. Проверьте и номер порта шлюза.")};
    case TTraceLink::RtuOverTcp:
        return {QStringLiteral("Байты приходят, но кадра из них не складывается"),
                QStringLiteral("Шлюз передаёт байты прибора как есть: сверьте скорость, чётность "
                               "и число стоповых битов его последовательного порта с настройками "
                               "прибора. Если шлюз сам переводит запросы в Modbus TCP, укажите "
                               "порт как tcp://адрес:порт.")};
    case TTraceLink::Serial:
        break;
    }
    return {QStringLiteral("Байты приходят, но кадра из них не складывается"),
            QStringLiteral("Скорее всего, не совпадают скорость, чётность или число стоповых "
                           "битов порта и прибора: сверьте настройки или найдите прибор кнопкой "
                           "«Найти прибор».")};
}

TWords DamagedWords(TTraceLink link) {
    switch (link) {
    case TTraceLink::ModbusTcp:
        return {QStringLiteral("Ответы шлюза приходят оборванными"),
                QStringLiteral("Проверьте сеть до шлюза и его настройки (время ожидания ответа "
                               "прибора).")};
    case TTraceLink::RtuOverTcp:
        return {QStringLiteral("Ответы прибора приходят искажёнными (ошибка CRC или оборванный "
                               "кадр)"),
                QStringLiteral("Помехи или плохой контакт на линии между шлюзом и прибором: "
                               "проверьте кабель, его экран и заземление, терминатор на конце "
                               "линии RS-485, скорость и чётность порта шлюза.")};
    case TTraceLink::Serial:
        break;
    }
    return {QStringLiteral("Ответы прибора приходят искажёнными (ошибка CRC или оборванный кадр)"),
            QStringLiteral("Помехи или плохой контакт: проверьте кабель, его экран и заземление, "
                           "терминатор на конце линии RS-485.")};
}

TWords ClosedWords(TTraceLink link) {
    switch (link) {
    case TTraceLink::ModbusTcp:
    case TTraceLink::RtuOverTcp: {
        const bool mbap = link == TTraceLink::ModbusTcp;
        return {QStringLiteral("Шлюз закрывает соединение"),
                QStringLiteral("Проверьте, что на этом порту шлюз %1 (для шлюза, который %2, "
                               "укажите %3), что у него есть свободные соединения (их могут "
                               "занимать другие программы) и что он принимает соединения с этого "
                               "компьютера.")
                    .arg(mbap ? QStringLiteral("принимает Modbus TCP")
                              : QStringLiteral("передаёт кадры RTU как есть"),
                         mbap ? QStringLiteral("передаёт кадры RTU как есть")
                              : QStringLiteral("принимает Modbus TCP"),
                         mbap ? QStringLiteral("rtu+tcp://") : QStringLiteral("tcp://"))};
    }
    case TTraceLink::Serial:
        break;
    }
    return {QStringLiteral("Порт закрылся во время обмена"),
            QStringLiteral("Устройство порта пропало или перестало работать: проверьте "
                           "подключение адаптера и выберите порт заново.")};
}

// An answer time that would have waited for the latest answer seen, with a quarter to spare,
// rounded up to 100 ms.
int SuggestedAnswerMs(qint64 latestUs) {
    const double ms = latestUs / 1000.0 * 1.25;
    return static_cast<int>(std::ceil(ms / 100.0)) * 100;
}

} // namespace

void TLineDiagnosis::TTally::add(const TFrameEvent& event, int n) {
    if (count == 0)
        sample = TraceLine(event, kSampleBytes);
    count += n;
}

void TLineDiagnosis::OnFrame(const TFrameEvent& e) {
    m_link = e.link;
    switch (e.kind) {
    case TFrameKind::Request:
        ++m_requests;
        if (e.attempt > 0)
            ++m_retries;
        m_address = e.address;
        m_function = e.function;
        m_answerMs = e.answerMs;
        m_requestLength = e.bytes.size();
        if (m_firstRequest.isEmpty())
            m_firstRequest = TraceLine(e, kSampleBytes);
        return;
    case TFrameKind::Silence:
        ++m_silences;
        return;
    case TFrameKind::Closed:
        m_closed.add(e);
        return;
    case TFrameKind::Window:
        if (e.has(TFrameEvent::WindowFallback)) {
            m_fallback.add(e);
            m_fallbackClosed = e.has(TFrameEvent::WindowClosed);
        }
        return;
    case TFrameKind::Answer:
    case TFrameKind::Late:
        OnReceived(e);
        return;
    }
}

void TLineDiagnosis::OnReceived(const TFrameEvent& e) {
    // An echo is the request itself: only what follows it came from the line.
    qint64 bytes = e.bytes.size() + e.omitted;
    if (e.has(TFrameEvent::Echo)) {
        m_echo.add(e);
        bytes = std::max<qint64>(0, bytes - m_requestLength);
    }
    m_bytes += bytes;
    if (e.address < 0) {
        if (e.offset > 0) {
            m_garbled.add(e);
            m_garbledBytes += e.offset;
        }
        return;
    }
    if (e.offset > 0) {
        m_noise.add(e);
        m_noiseBytes += e.offset;
    }
    if (!e.validFrame()) {
        m_damaged.add(e);
        return;
    }
    if (e.has(TFrameEvent::OtherTransaction)) {
        m_otherTransaction.add(e);
        return;
    }
    if (e.address != m_address) {
        m_otherAddress.add(e);
        m_otherAddresses.insert(e.address);
        return;
    }
    ++m_answers;
    if (e.kind == TFrameKind::Late || e.elapsedUs > qint64(e.answerMs) * 1000) {
        m_late.add(e);
        m_latestUs = std::max(m_latestUs, e.elapsedUs);
    }
    if (e.has(TFrameEvent::Exception)) {
        m_exception.add(e);
        ++m_exceptionCounts[{e.function, e.exception}];
    }
}

std::vector<TLineFinding> TLineDiagnosis::Findings() const {
    std::vector<TLineFinding> out;
    if (m_requests == 0 && m_closed.count == 0)
        return out;
    const QString exchanges = QStringLiteral("запросов: %1 (повторов: %2), без ответа: %3")
                                  .arg(m_requests)
                                  .arg(m_retries)
                                  .arg(m_silences);
    CollectAnswerFaults(out, exchanges);
    CollectLineFaults(out, exchanges);
    return out;
}

void TLineDiagnosis::CollectAnswerFaults(std::vector<TLineFinding>& out,
                                         const QString& exchanges) const {
    if (m_otherAddress.count > 0) {
        // Behind a gateway the address is the unit id of the request.
        const bool unit = m_link != TTraceLink::Serial;
        out.push_back({TLineCause::OtherAddress,
                       (unit ? QStringLiteral("Отвечает прибор с другим номером устройства (unit "
                                              "id %1), а запросы идут к номеру %2")
                             : QStringLiteral("Отвечает прибор с другим адресом (%1), а запросы "
                                              "идут к адресу %2"))
                           .arg(JoinNumbers(m_otherAddresses))
                           .arg(m_address),
                       QStringLiteral("ответов с другим адресом: %1; %2")
                           .arg(m_otherAddress.count)
                           .arg(exchanges),
                       QStringLiteral("Укажите адрес прибора %1%2 или найдите прибор кнопкой "
                                      "«Найти прибор».")
                           .arg(*m_otherAddresses.begin())
                           .arg(unit ? QStringLiteral(" (для шлюза — номер устройства, unit id)")
                                     : QString()),
                       m_otherAddress.sample,
                       {TLineSetting::Address, *m_otherAddresses.begin()}});
    }
    if (m_otherTransaction.count > 0)
        out.push_back({TLineCause::OtherTransaction,
                       QStringLiteral("Шлюз присылает ответы на другие запросы (чужой номер "
                                      "транзакции)"),
                       QStringLiteral("ответов с чужим номером транзакции: %1; %2")
                           .arg(m_otherTransaction.count)
                           .arg(exchanges),
                       QStringLiteral("Увеличьте время ожидания ответа: это могут быть ответы на "
                                      "прежние запросы, пришедшие после него. Если не поможет, "
                                      "шлюз не возвращает номер транзакции запроса: проверьте "
                                      "настройки шлюза и не опрашивает ли прибор через него другая "
                                      "программа."),
                       m_otherTransaction.sample,
                       {TLineSetting::AnswerTime, 0}});
    if (m_exception.count > 0) {
        const auto top =
            std::max_element(m_exceptionCounts.begin(), m_exceptionCounts.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; });
        const auto [function, code] = top->first;
        const char* name = comm::ipc::resultText(comm::ipc::resultForException(code));
        out.push_back({TLineCause::Exception,
                       QStringLiteral("Прибор отвергает запрос: исключение %1 (%2) на функцию %3")
                           .arg(code)
                           .arg(QString::fromUtf8(name))
                           .arg(function),
                       QStringLiteral("ответов-исключений: %1 из %2 ответов")
                           .arg(m_exception.count)
                           .arg(m_answers),
                       ExceptionAdvice(function, code), m_exception.sample});
    }
    if (m_late.count > 0) {
        const int suggested = SuggestedAnswerMs(m_latestUs);
        out.push_back(
            {TLineCause::LateAnswer,
             QStringLiteral("Ответы приходят позже времени ожидания (%1 мс)").arg(m_answerMs),
             QStringLiteral("опоздавших ответов: %1, самый поздний — через %2 мс после "
                            "запроса; %3")
                 .arg(m_late.count)
                 .arg((m_latestUs + 999) / 1000)
                 .arg(exchanges),
             QStringLiteral("Увеличьте время ожидания ответа до %1 мс.").arg(suggested),
             m_late.sample,
             {TLineSetting::AnswerTime, suggested}});
    }
}

void TLineDiagnosis::CollectLineFaults(std::vector<TLineFinding>& out,
                                       const QString& exchanges) const {
    if (m_fallback.count > 0)
        out.push_back(
            {TLineCause::OneAtATime,
             QStringLiteral("Шлюз Modbus TCP обслуживает только один запрос за раз"),
             (m_fallbackClosed ? QStringLiteral("шлюз закрыл соединение при втором запросе; %1")
                               : QStringLiteral("шлюз оставил без ответа запросы, пришедшие во "
                                                "время обработки другого; %1"))
                 .arg(exchanges),
             QStringLiteral("Чтение продолжено по одному запросу за раз, записи не потеряны. Для "
                            "этого шлюза запомнено окно запросов 1 (TcpWindow в [Settings] "
                            "main.ini, journal-read --tcp-window)."),
             m_fallback.sample});
    if (m_closed.count > 0) {
        const TWords w = ClosedWords(m_link);
        out.push_back(
            {TLineCause::Closed, w.title,
             QStringLiteral("закрытий соединения: %1; %2").arg(m_closed.count).arg(exchanges),
             w.advice, m_closed.sample});
    }
    if (m_damaged.count > 0) {
        const TWords w = DamagedWords(m_link);
        out.push_back({TLineCause::Damaged, w.title,
                       QStringLiteral("искажённых ответов: %1, верных: %2; %3")
                           .arg(m_damaged.count)
                           .arg(m_answers)
                           .arg(exchanges),
                       w.advice, m_damaged.sample});
    }
    if (m_garbled.count > 0) {
        const TWords w = GarbledWords(m_link);
        out.push_back({TLineCause::Garbled, w.title,
                       QStringLiteral("посылок без кадра: %1 (байт: %2), верных ответов: %3; %4")
                           .arg(m_garbled.count)
                           .arg(m_garbledBytes)
                           .arg(m_answers)
                           .arg(exchanges),
                       w.advice, m_garbled.sample});
    }
    // Tries cut short by a closed connection were not waited out: they are no silence.
    if (m_bytes == 0 && (m_silences > 0 || m_closed.count == 0)) {
        const TWords w = NoReplyWords(m_link, m_echo.count > 0);
        out.push_back({TLineCause::NoReply, w.title, exchanges, w.advice, m_firstRequest});
    }
    if (m_echo.count > 0)
        out.push_back(
            {TLineCause::Echo, QStringLiteral("Запрос возвращается эхом"),
             QStringLiteral("запросов с эхом: %1 из %2").arg(m_echo.count).arg(m_requests),
             QStringLiteral("Так делает двухпроводный адаптер RS-485 с включённым "
                            "эхом: отключите эхо в адаптере. Программа пропускает эхо, "
                            "но ответ прибора должен прийти после него."),
             m_echo.sample});
    if (m_noise.count > 0)
        out.push_back(
            {TLineCause::Noise, QStringLiteral("Перед ответами приходят лишние байты"),
             QStringLiteral("лишних байт: %1 в %2 посылках").arg(m_noiseBytes).arg(m_noise.count),
             m_link != TTraceLink::Serial
                 ? QStringLiteral("Помехи на линии за шлюзом или другое устройство на ней: "
                                  "проверьте кабель, экран и терминатор линии между шлюзом и "
                                  "прибором.")
                 : QStringLiteral("Помехи в линии или другое устройство на ней: проверьте "
                                  "кабель, экран и терминатор."),
             m_noise.sample});
}

QString TLineFinding::Advice(TAdviceFor reader) const {
    if (setting.kind != TLineSetting::AnswerTime)
        return advice;
    // The window sets it under "Параметры связи..." (or "Применить" under the advice, when the
    // advice names a value); journal-read takes it as an option or from main.ini, as the window
    // saves it. Where, is said after the advice's first clause, which names the setting.
    const QString value = setting.value > 0 ? QString::number(setting.value) : QStringLiteral("МС");
    const QString where =
        reader == TAdviceFor::CommandLine
            ? QStringLiteral("--timeout %1 или AnswerTime в [Settings] main.ini").arg(value)
        : setting.value > 0 ? QStringLiteral("«Применить» ниже или «Параметры связи...»")
                            : QStringLiteral("«Параметры связи...»");
    qsizetype at = advice.indexOf(QRegularExpression(QStringLiteral("[:.]")));
    if (at < 0)
        at = advice.size();
    QString text = advice;
    return text.insert(at, QStringLiteral(" (%1)").arg(where));
}

QString FailedRecordsText(const std::vector<std::int64_t>& records, int shown) {
    if (records.empty())
        return {};
    QStringList runs;
    std::size_t i = 0;
    for (; i < records.size() && runs.size() < shown;) {
        std::size_t j = i;
        while (j + 1 < records.size() && records[j + 1] == records[j] + 1)
            ++j;
        runs << (j == i ? QString::number(records[i])
                        : QStringLiteral("%1–%2").arg(records[i]).arg(records[j]));
        i = j + 1;
    }
    QString text = QStringLiteral("Сбойные записи (%1): %2")
                       .arg(records.size())
                       .arg(runs.join(QStringLiteral(", ")));
    if (i < records.size())
        text += QStringLiteral(" … ещё %1").arg(records.size() - i);
    return text;
}

QString TLineDiagnosis::Text(TAdviceFor reader) const {
    const std::vector<TLineFinding> findings = Findings();
    QStringList lines;
    for (std::size_t i = 0; i < findings.size(); ++i) {
        const TLineFinding& f = findings[i];
        lines << (i == 0 ? QStringLiteral("Вероятная причина: %1.") : QStringLiteral("Также: %1."))
                     .arg(f.title);
        lines << QStringLiteral("  Признаки: %1.").arg(f.evidence);
        lines << QStringLiteral("  %1").arg(f.Advice(reader));
        if (!f.sample.isEmpty())
            lines << QStringLiteral("  Пример: %1").arg(f.sample);
    }
    return lines.join(u'\n');
}

} // namespace core
