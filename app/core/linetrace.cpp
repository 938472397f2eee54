// SPDX-License-Identifier: MIT
#include "app/core/linetrace.h"

#include "comm/ipc/resultcodes.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>

namespace core {
namespace {

// "21,3 мс" (a tenth of a millisecond).
QString Milliseconds(qint64 us) {
    static const QLocale russian(QLocale::Russian);
    return QStringLiteral("%1 мс").arg(russian.toString(us / 1000.0, 'f', 1));
}

QString ExceptionName(int code) {
    const char* text = comm::ipc::resultText(comm::ipc::resultForException(code));
    return QStringLiteral("исключение %1 (%2)").arg(code).arg(QString::fromUtf8(text));
}

// What received bytes held: the echo, stray bytes, the frame.
QString ReceivedMeaning(const TFrameEvent& e) {
    QStringList parts;
    if (e.has(TFrameEvent::Echo))
        parts << QStringLiteral("эхо запроса");
    const QString frame = QStringLiteral("адрес %1, функция %2").arg(e.address).arg(e.function);
    if (e.has(TFrameEvent::OtherTransaction))
        parts << QStringLiteral("чужой номер транзакции");
    if (e.address < 0) {
        // No frame: what follows the echo (all of it without one) belongs to none.
        if (e.offset > 0 || !e.has(TFrameEvent::Echo))
            parts << QStringLiteral("байты без кадра: %1").arg(e.offset);
    } else {
        if (e.offset > 0)
            parts << QStringLiteral("лишних байт: %1").arg(e.offset);
        if (e.validFrame()) {
            QString text = e.has(TFrameEvent::Exception)
                               ? QStringLiteral("%1: %2").arg(ExceptionName(e.exception), frame)
                               : QStringLiteral("ответ: %1").arg(frame);
            if (e.has(TFrameEvent::Taken))
                text += QStringLiteral(", принят");
            parts << text;
        } else {
            parts << (e.has(TFrameEvent::Complete) ? QStringLiteral("кадр с ошибкой CRC: %1")
                                                   : QStringLiteral("неполный кадр: %1"))
                         .arg(frame);
        }
    }
    if (e.elapsedUs > 0)
        parts << Milliseconds(e.elapsedUs);
    return parts.join(QStringLiteral(", "));
}

QString WindowMeaning(const TFrameEvent& e) {
    if (e.has(TFrameEvent::WindowFallback))
        return e.has(TFrameEvent::WindowClosed)
                   ? QStringLiteral("окно запросов: 1, шлюз закрыл соединение при втором запросе")
                   : QStringLiteral("окно запросов: 1, шлюз оставил без ответа запросы, пришедшие "
                                    "во время обработки другого");
    if (e.has(TFrameEvent::WindowWider))
        return QStringLiteral("окно запросов расширено до %1").arg(e.window);
    return QStringLiteral("окно запросов: %1").arg(e.window);
}

QString EventMeaning(const TFrameEvent& e) {
    switch (e.kind) {
    case TFrameKind::Request: {
        QString text =
            QStringLiteral("запрос: адрес %1, функция %2").arg(e.address).arg(e.function);
        if (e.attempt > 0 && e.record < 0) // a record's retries are told with the record
            text += QStringLiteral(" (повтор %1)").arg(e.attempt);
        return text;
    }
    case TFrameKind::Silence:
        return QStringLiteral("нет ответа за %1 мс").arg(e.answerMs);
    case TFrameKind::Late:
        return QStringLiteral("после конца попытки, отброшено: ") + ReceivedMeaning(e);
    case TFrameKind::Closed:
        return e.network() ? QStringLiteral("соединение закрыто") : QStringLiteral("порт закрыт");
    case TFrameKind::Window:
        return WindowMeaning(e);
    case TFrameKind::Answer:
        break;
    }
    return ReceivedMeaning(e);
}

} // namespace

QString HexBytes(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString TraceTime(qint64 timeUs) {
    // The local time of day of the whole second comes from the time zone, which costs; events
    // come many a second, so the last second's text is kept.
    thread_local qint64 cachedSecond = -1;
    thread_local QString cachedText;
    const qint64 second = timeUs / 1000000;
    if (second != cachedSecond) {
        cachedSecond = second;
        cachedText = QDateTime::fromSecsSinceEpoch(second).toString(QStringLiteral("HH:mm:ss"));
    }
    return cachedText + u'.' + QStringLiteral("%1").arg(timeUs % 1000000, 6, 10, QLatin1Char('0'));
}

QString TraceDirection(TFrameKind kind) {
    switch (kind) {
    case TFrameKind::Request:
        return QStringLiteral("→");
    case TFrameKind::Silence:
        return QStringLiteral("·");
    case TFrameKind::Closed:
        return QStringLiteral("×");
    case TFrameKind::Window:
        return QStringLiteral("⇉");
    case TFrameKind::Answer:
    case TFrameKind::Late:
        break;
    }
    return QStringLiteral("←");
}

QString TraceMeaning(const TFrameEvent& e) {
    QString text = EventMeaning(e);
    // Requests in flight at the moment of the event, in a run that may keep several.
    if (e.window > 1 && e.kind != TFrameKind::Window)
        text += QStringLiteral(" [в полёте %1 из %2]").arg(e.inFlight).arg(e.window);
    return text;
}

QString TraceRecord(const TFrameEvent& e) {
    if (e.record < 0)
        return {};
    // Bytes dropped late came after their try: which try they answer is not known.
    if (e.attempt > 0 && e.kind != TFrameKind::Late)
        return QStringLiteral("%1, повтор %2").arg(e.record).arg(e.attempt);
    return QString::number(e.record);
}

QString TraceBytes(const TFrameEvent& e, qsizetype maxBytes) {
    const qsizetype shown = maxBytes < 0 ? e.bytes.size() : std::min(maxBytes, e.bytes.size());
    QString text = HexBytes(e.bytes.first(shown));
    if (const qint64 left = e.omitted + e.bytes.size() - shown; left > 0)
        text += QStringLiteral(" … ещё %1 байт").arg(left);
    return text;
}

QString TraceLine(const TFrameEvent& e, qsizetype maxBytes) {
    QString line = TraceTime(e.timeUs) + QStringLiteral("  ") + TraceDirection(e.kind);
    if (!e.bytes.isEmpty())
        line += QStringLiteral("  ") + TraceBytes(e, maxBytes);
    line += QStringLiteral("  ") + TraceMeaning(e);
    if (e.record >= 0)
        line += QStringLiteral("; запись ") + TraceRecord(e);
    return line;
}

bool IsTraceFault(const TFrameEvent& e) {
    switch (e.kind) {
    case TFrameKind::Request:
        return e.attempt > 0;
    case TFrameKind::Silence:
    case TFrameKind::Late:
    case TFrameKind::Closed:
        return true;
    case TFrameKind::Window:
        return e.has(TFrameEvent::WindowFallback);
    case TFrameKind::Answer:
        break;
    }
    return !e.validFrame() || e.has(TFrameEvent::Exception) || e.has(TFrameEvent::Echo) ||
           e.has(TFrameEvent::OtherTransaction) || e.offset > 0 || !e.has(TFrameEvent::Taken);
}

} // namespace core
