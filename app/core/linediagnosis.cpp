// SPDX-License-Identifier: MIT
#include "app/core/linediagnosis.h"

#include "comm/ipc/resultcodes.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace core {
namespace {

constexpr int kJournalFunction = 65;

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
    return QStringLiteral("Проверьте, тот ли тип прибора выбран.");
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
        sample = TraceLine(event);
    count += n;
}

void TLineDiagnosis::OnFrame(const TFrameEvent& e) {
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
            m_firstRequest = TraceLine(e);
        return;
    case TFrameKind::Silence:
        ++m_silences;
        return;
    case TFrameKind::Answer:
    case TFrameKind::Late:
        OnReceived(e);
        return;
    }
}

void TLineDiagnosis::OnReceived(const TFrameEvent& e) {
    // An echo is the request itself: only what follows it came from the line.
    qint64 bytes = e.bytes.size();
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
    if (m_requests == 0)
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
        const QString addresses = JoinNumbers(m_otherAddresses);
        out.push_back({TLineCause::OtherAddress,
                       QStringLiteral("Отвечает прибор с другим адресом (%1), а запросы идут к "
                                      "адресу %2")
                           .arg(addresses)
                           .arg(m_address),
                       QStringLiteral("ответов с другим адресом: %1; %2")
                           .arg(m_otherAddress.count)
                           .arg(exchanges),
                       QStringLiteral("Укажите адрес прибора %1 или найдите прибор кнопкой «Найти "
                                      "прибор».")
                           .arg(*m_otherAddresses.begin()),
                       m_otherAddress.sample,
                       {TLineSetting::Address, *m_otherAddresses.begin()}});
    }
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
    if (m_damaged.count > 0)
        out.push_back({TLineCause::Damaged,
                       QStringLiteral("Ответы прибора приходят искажёнными (ошибка CRC или "
                                      "оборванный кадр)"),
                       QStringLiteral("искажённых ответов: %1, верных: %2; %3")
                           .arg(m_damaged.count)
                           .arg(m_answers)
                           .arg(exchanges),
                       QStringLiteral("Помехи или плохой контакт: проверьте кабель, его экран и "
                                      "заземление, терминатор на конце линии RS-485."),
                       m_damaged.sample});
    if (m_garbled.count > 0)
        out.push_back({TLineCause::Garbled,
                       QStringLiteral("Байты приходят, но кадра из них не складывается"),
                       QStringLiteral("посылок без кадра: %1 (байт: %2), верных ответов: %3; %4")
                           .arg(m_garbled.count)
                           .arg(m_garbledBytes)
                           .arg(m_answers)
                           .arg(exchanges),
                       QStringLiteral("Скорее всего, не совпадают скорость, чётность или число "
                                      "стоповых битов порта и прибора: сверьте настройки или "
                                      "найдите прибор кнопкой «Найти прибор»."),
                       m_garbled.sample});
    if (m_bytes == 0)
        out.push_back({TLineCause::NoReply,
                       m_echo.count > 0 ? QStringLiteral("Прибор не отвечает: кроме эха запроса, "
                                                         "не пришло ни одного байта")
                                        : QStringLiteral("Прибор не отвечает: не пришло ни "
                                                         "одного байта"),
                       exchanges,
                       QStringLiteral("Проверьте питание прибора, подключение линии (провода A и "
                                      "B не перепутаны), выбранный порт; адрес и скорость должны "
                                      "совпадать с настройками прибора — их подберёт «Найти "
                                      "прибор»."),
                       m_firstRequest});
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
             QStringLiteral("Помехи в линии или другое устройство на ней: проверьте "
                            "кабель, экран и терминатор."),
             m_noise.sample});
}

QString TLineFinding::Advice(TAdviceFor reader) const {
    if (setting.kind != TLineSetting::AnswerTime)
        return advice;
    // The window sets it under "Параметры связи..." (or "Применить" under the advice);
    // journal-read takes it as an option or from main.ini, as the window saves it.
    QString where = reader == TAdviceFor::Window
                        ? QStringLiteral("«Применить» ниже или «Параметры связи...»")
                        : QStringLiteral("--timeout %1 или AnswerTime в [Settings] main.ini")
                              .arg(setting.value);
    QString text = advice;
    if (text.endsWith(u'.'))
        text.chop(1);
    return QStringLiteral("%1 (%2).").arg(text, where);
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
