// SPDX-License-Identifier: MIT
#include "collect/collectargs.h"

#include "archive/archivelocation.h"
#include "collect/instrumentlist.h"
#include "platform/commandline.h"

#include <algorithm>

namespace collect {
namespace {

struct TCollectOption {
    const char* name;
    const char* value; // the value's name in the help; nullptr for a flag
    const char* help;
    // Takes the value; an empty text, or why the value is wrong.
    QString (*apply)(TCollectOptions& o, const QString& value);
};

template <QString TCollectOptions::*Field> QString Text(TCollectOptions& o, const QString& value) {
    o.*Field = value;
    return {};
}

template <bool TCollectOptions::*Field> QString Flag(TCollectOptions& o, const QString&) {
    o.*Field = true;
    return {};
}

QString Archive(TCollectOptions& o, const QString& value) {
    QString why;
    if (!archive::ParseArchiveUrl(value, &why))
        return QStringLiteral("--archive: %1").arg(why);
    o.archiveUrl = value;
    return {};
}

QString Http(TCollectOptions& o, const QString& value) {
    o.http = ParseHttpAddress(value);
    return o.http ? QString()
                  : QStringLiteral("--http: «%1» — ожидается [АДРЕС:]ПОРТ, например 8080 или "
                                   "0.0.0.0:8080")
                        .arg(value);
}

QString Jobs(TCollectOptions& o, const QString& value) {
    bool ok = false;
    o.jobs = value.toInt(&ok);
    return ok && o.jobs >= 1 && o.jobs <= 1000
               ? QString()
               : QStringLiteral("--jobs: «%1» — ожидается число линий от 1 до 1000").arg(value);
}

QString Lease(TCollectOptions& o, const QString& value) {
    const auto period = ParsePeriod(value);
    if (!period || *period < std::chrono::seconds(5) || *period > std::chrono::hours(24))
        return QStringLiteral("--lease: «%1» — ожидается время: число и s, m или h (2m), от 5 s "
                              "до 24 h")
            .arg(value);
    o.leaseSeconds = int(period->count());
    return {};
}

const TCollectOption kCollectOptions[] = {
    {"--config", "ФАЙЛ", "список приборов (по умолчанию — collect.ini рядом с main.ini)",
     Text<&TCollectOptions::config>},
    {"--catalogue", "ПАПКА", "папка с main.ini и файлами приборов (по умолчанию — своя)",
     Text<&TCollectOptions::catalogue>},
    {"--archive", "URL",
     "архив журналов: путь к файлу, sqlite:///путь или postgresql://[пользователь@]хост/база",
     Archive},
    {"--check", nullptr, "проверить список: линии, приборы и ошибки в нём",
     Flag<&TCollectOptions::check>},
    {"--status", nullptr,
     "состояние приборов из архива: прибор, линия, последнее чтение, новых и сбойных "
     "записей, состояние, следующее чтение",
     Flag<&TCollectOptions::status>},
    {"--once", nullptr,
     "прочитать каждый прибор один раз и завершиться (код 1 — если не все прочитаны)",
     Flag<&TCollectOptions::once>},
    {"--jobs", "N", "сколько линий читать одновременно (по умолчанию — все)", Jobs},
    {"--lease", "ВРЕМЯ",
     "срок аренды прибора в общем архиве PostgreSQL (по умолчанию 2m): за этот срок прибор "
     "остановившегося сборщика переходит к другим",
     Lease},
    {"--http", "[АДРЕС:]ПОРТ",
     "страница состояния и /metrics (по умолчанию нет; только порт — на 127.0.0.1)", Http},
    {"--token-file", "ФАЙЛ",
     "ключ доступа к странице (первая строка файла; или переменная JOURNAL_COLLECT_TOKEN); "
     "нужен, если адрес --http не 127.0.0.1 или ::1",
     Text<&TCollectOptions::tokenFile>},
    {"--version", nullptr, "версия программы", Flag<&TCollectOptions::version>},
    {"--help", nullptr, "эта справка (также -h)", Flag<&TCollectOptions::help>},
};

const TCollectOption* Find(const QString& name) {
    if (name == u"-h")
        return Find(QStringLiteral("--help"));
    const auto it =
        std::find_if(std::begin(kCollectOptions), std::end(kCollectOptions),
                     [&](const TCollectOption& o) { return name == QLatin1String(o.name); });
    return it == std::end(kCollectOptions) ? nullptr : it;
}

QString CheckCombination(const TCollectOptions& o) {
    if (o.help || o.version)
        return {};
    if (o.check && o.status)
        return QStringLiteral("--check и --status не задаются вместе");
    if ((o.check || o.status) && (o.http || !o.tokenFile.isEmpty()))
        return QStringLiteral("--http и --token-file не сочетаются с --check и --status");
    if ((o.check || o.status) && (o.once || o.jobs > 0))
        return QStringLiteral("--once и --jobs не сочетаются с --check и --status");
    if (!o.tokenFile.isEmpty() && !o.http)
        return QStringLiteral("--token-file задаётся вместе с --http");
    return {};
}

} // namespace

std::optional<THttpAddress> ParseHttpAddress(const QString& text) {
    const qsizetype colon = text.lastIndexOf(u':');
    QString host = colon < 0 ? QString() : text.left(colon);
    const QString portText = text.mid(colon + 1);
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port > 65535 || portText.startsWith(u'+'))
        return std::nullopt;
    THttpAddress http;
    http.port = quint16(port);
    if (host.isEmpty() && colon < 0)
        return http;
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(u':'))
        return std::nullopt; // an IPv6 address needs its brackets
    if (host == u"localhost")
        return http;
    if (!http.address.setAddress(host))
        return std::nullopt;
    return http;
}

TCollectParse ParseCollectCommandLine(const QStringList& arguments) {
    TCollectOptions o;
    QString error = platform::WalkCommandLine(
        arguments, Find, [&o](const TCollectOption& option, const QString&, const QString& value) {
            return option.apply(o, value);
        });
    if (error.isEmpty())
        error = CheckCombination(o);
    if (!error.isEmpty())
        return {std::nullopt, error};
    return {o, {}};
}

QString CollectUsageText() {
    QString options;
    const auto head = [](const TCollectOption& o) {
        return QLatin1String(o.name) + (o.value ? u' ' + QString::fromUtf8(o.value) : QString());
    };
    int width = 0;
    for (const TCollectOption& o : kCollectOptions)
        width = std::max(width, int(head(o).size()));
    for (const TCollectOption& o : kCollectOptions)
        options += QStringLiteral("  %1  %2\n").arg(head(o), -width).arg(QString::fromUtf8(o.help));
    return QStringLiteral(
               "Использование:\n"
               "  journal-collect [--config ФАЙЛ] [--catalogue ПАПКА] [--archive URL] [--once]\n"
               "                  [--jobs N] [--lease ВРЕМЯ] [--http [АДРЕС:]ПОРТ [--token-file "
               "ФАЙЛ]]\n"
               "  journal-collect [--config ФАЙЛ] [--catalogue ПАПКА] --check\n"
               "  journal-collect [--catalogue ПАПКА] [--archive URL] --status\n"
               "  journal-collect --help | --version\n"
               "\n"
               "Считывает журналы всех приборов списка по расписанию в архив журналов: каждое\n"
               "чтение — дочитывание, как «Дочитать» окна. Приборы одной линии (последовательный\n"
               "порт, rtu+tcp:// или шлюз tcp://) читаются по очереди, разные линии — "
               "одновременно.\n"
               "Несколько сборщиков делят приборы через общий архив PostgreSQL; с архивом "
               "SQLite\nсборщик работает один. Прибор, который не ответил, читается снова "
               "через 30 с,\nзатем через вдвое больший срок, но не реже раза в час. SIGTERM "
               "завершает текущие\nзапросы и сохраняет прочитанное, SIGHUP перечитывает "
               "список. Каждое чтение —\nстрока в стандартном потоке ошибок.\n"
               "\n") +
           options +
           QStringLiteral(
               "\n"
               "Код выхода: 0 — работа завершена, 1 — сборщик не запустился (архив, страница\n"
               "состояния), --check нашёл ошибки в списке или --once прочитал не все приборы,\n"
               "2 — ошибка в командной строке.\n");
}

QString CollectUsageError(const QString& reason) {
    return QStringLiteral("journal-collect: %1; см. --help").arg(reason);
}

} // namespace collect
