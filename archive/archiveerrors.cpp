// SPDX-License-Identifier: MIT
#include "archive/archiveerrors.h"

#include <QSqlError>

namespace archive {

namespace {

const QString kDamaged = QStringLiteral("файл архива повреждён");
const QString kNoAccess = QStringLiteral("нет доступа к архиву");
const QString kBusy = QStringLiteral("архив занят другой программой");
const QString kUnreachable = QStringLiteral("сервер архива недоступен");
const QString kConnectionLost = QStringLiteral("связь с сервером архива прервана");

// SQLite's primary result codes (the low byte of an extended code).
QString SqliteSentence(int code) {
    switch (code & 0xFF) {
    case 3:  // SQLITE_PERM
    case 8:  // SQLITE_READONLY
    case 23: // SQLITE_AUTH
        return QStringLiteral("нет доступа к архиву для записи");
    case 5: // SQLITE_BUSY
    case 6: // SQLITE_LOCKED
        return kBusy;
    case 10: // SQLITE_IOERR
        return QStringLiteral("ошибка чтения или записи диска");
    case 11: // SQLITE_CORRUPT
        return kDamaged;
    case 13: // SQLITE_FULL
        return QStringLiteral("нет места на диске");
    case 14: // SQLITE_CANTOPEN
        return QStringLiteral("файл архива не открывается");
    case 26: // SQLITE_NOTADB
        return QStringLiteral("файл не является архивом журналов");
    default:
        return {};
    }
}

// PostgreSQL's SQLSTATE codes, by the longest matching prefix.
struct TStateSentence {
    const char* state;
    const char* sentence;
};

const TStateSentence kPostgresStates[] = {
    {"3D000", "нет такой базы данных"},
    {"28", "нет доступа к базе данных архива"},
    {"42501", "нет доступа к базе данных архива"},
    {"25006", "нет доступа к архиву для записи"},
    {"53100", "нет места на диске сервера архива"},
    {"53", "серверу архива не хватает ресурсов"},
    {"55P03", "архив занят другой программой"},
    {"40P01", "архив занят другой программой"},
    {"57014", "сервер архива не ответил вовремя"},
    {"57P", "связь с сервером архива прервана"},
    {"08", "связь с сервером архива прервана"},
    {"42P01", "в базе данных нет архива журналов"},
    {"XX001", "база данных архива повреждена"},
    {"XX002", "база данных архива повреждена"},
};

QString PostgresStateSentence(const QString& state) {
    const TStateSentence* best = nullptr;
    for (const auto& s : kPostgresStates) {
        const QLatin1String prefix(s.state);
        if (state.startsWith(prefix) && (!best || prefix.size() > qsizetype(qstrlen(best->state))))
            best = &s;
    }
    return best ? QString::fromUtf8(best->sentence) : QString();
}

// A connection that fails carries no SQLSTATE: libpq's text says why.
QString PostgresTextSentence(const QString& text) {
    const struct {
        const char* pattern;
        const QString& sentence;
    } patterns[] = {
        {"server closed the connection", kConnectionLost},
        {"no connection to the server", kConnectionLost},
        {"connection to server was lost", kConnectionLost},
        {"terminating connection", kConnectionLost},
        {"password authentication failed", kNoAccess},
        {"no password supplied", kNoAccess},
        {"no pg_hba.conf entry", kNoAccess},
        {"permission denied", kNoAccess},
        {"could not connect", kUnreachable},
        {"could not translate host name", kUnreachable},
        {"timeout expired", kUnreachable},
        {"Connection refused", kUnreachable},
        {"No such file or directory", kUnreachable},
        {"Network is unreachable", kUnreachable},
        {"No route to host", kUnreachable},
    };
    if (text.contains(QLatin1String("database \"")) &&
        text.contains(QLatin1String("does not exist")))
        return QStringLiteral("нет такой базы данных");
    if (text.contains(QLatin1String("role \"")) && text.contains(QLatin1String("does not exist")))
        return kNoAccess;
    for (const auto& p : patterns)
        if (text.contains(QLatin1String(p.pattern), Qt::CaseInsensitive))
            return p.sentence;
    return {};
}

} // namespace

QString DatabaseErrorText(const QSqlError& error, TArchiveEngine engine) {
    QString driverText = error.databaseText().trimmed();
    if (driverText.isEmpty())
        driverText = error.driverText().trimmed();
    driverText = driverText.simplified();
    const QString code = error.nativeErrorCode();
    QString sentence;
    if (engine == TArchiveEngine::SQLite) {
        bool numeric = false;
        const int value = code.toInt(&numeric);
        sentence = numeric ? SqliteSentence(value) : QString();
    } else {
        sentence = PostgresStateSentence(code);
        if (sentence.isEmpty())
            sentence = PostgresTextSentence(driverText);
    }
    if (sentence.isEmpty())
        sentence = QStringLiteral("ошибка базы данных");
    return driverText.isEmpty() ? sentence : QStringLiteral("%1 (%2)").arg(sentence, driverText);
}

} // namespace archive
