// SPDX-License-Identifier: MIT
#include "app/cli/cliargs.h"

#include "app/core/selectors.h"
#include "app/core/tcpwindow.h"
#include "archive/archivelocation.h"
#include "platform/commandline.h"
#include "platform/inifile.h"

#include <algorithm>
#include <climits>
#include <iterator>

namespace cli {
namespace {

// Applies an option's value; returns why the value is wrong, or an empty text.
using TApply = QString (*)(TCliOptions& o, const QString& option, const QString& value);

struct TOption {
    const char* name;  // "--device"
    const char* alias; // another spelling ("-h"), or nullptr
    const char* value; // the value's name in the help; nullptr for a flag
    const char* help;  // "{speeds}" stands for the list of baud rates
    TApply apply;
};

QString Expected(const QString& option, const QString& value, const QString& what) {
    return QStringLiteral("%1: «%2» — ожидается %3").arg(option, value, what);
}

// The integer of `value` when it lies in [min, max].
std::optional<int> IntegerIn(const QString& value, int min, int max) {
    const auto v = platform::parseIniInteger(value.trimmed());
    return v && *v >= min && *v <= max ? std::optional<int>(*v) : std::nullopt;
}

QString SpeedList() {
    QStringList speeds;
    for (int s : core::kSpeeds)
        speeds << QString::number(s);
    return speeds.join(QStringLiteral(", "));
}

// Sets `target` to the integer of `value` in [min, max], or names what was expected.
QString SetInteger(std::optional<int>& target, const QString& option, const QString& value, int min,
                   int max, const char* what) {
    const auto n = IntegerIn(value, min, max);
    if (!n)
        return Expected(option, value, QString::fromUtf8(what));
    target = *n;
    return {};
}

QString SetJournal(TCliOptions& o, const QString& option, const QString& value) {
    std::optional<int> journal;
    QString error = SetInteger(journal, option, value, 1, INT_MAX, "номер журнала от 1");
    if (journal)
        o.journal = *journal;
    return error;
}

QString SetSpeed(TCliOptions& o, const QString& option, const QString& value) {
    const auto n = IntegerIn(value, 1, INT_MAX);
    if (!n || std::find(std::begin(core::kSpeeds), std::end(core::kSpeeds), *n) ==
                  std::end(core::kSpeeds))
        return Expected(option, value, QStringLiteral("одна из скоростей ") + SpeedList());
    o.speed = *n;
    return {};
}

QString SetLink(TCliOptions& o, const QString& option, const QString& value) {
    if (value == u"232" || value == u"485") {
        o.linkType = value == u"232" ? 0 : 1;
        return {};
    }
    return Expected(option, value, QStringLiteral("232 или 485"));
}

QString SetArchiveUrl(TCliOptions& o, const QString& option, const QString& value) {
    QString why;
    if (!archive::ParseArchiveUrl(value, &why))
        return QStringLiteral("%1: %2").arg(option, why);
    o.archiveUrl = value;
    return {};
}

template <QString TCliOptions::*Field>
QString SetText(TCliOptions& o, const QString&, const QString& value) {
    o.*Field = value;
    return {};
}

template <bool TCliOptions::*Field>
QString SetFlag(TCliOptions& o, const QString&, const QString&) {
    o.*Field = true;
    return {};
}

// The formats of --format and of the output's extension.
const std::pair<const char*, core::TExportFormat> kFormats[] = {
    {"txt", core::TExportFormat::Text},
    {"csv", core::TExportFormat::Csv},
    {"xlsx", core::TExportFormat::Spreadsheet},
};

std::optional<core::TExportFormat> FormatNamed(const QString& name) {
    for (const auto& [text, format] : kFormats)
        if (name == QLatin1String(text))
            return format;
    return std::nullopt;
}

QString SetFormat(TCliOptions& o, const QString& option, const QString& value) {
    if (!FormatNamed(value))
        return Expected(option, value, QStringLiteral("txt, csv или xlsx"));
    o.formatName = value;
    return {};
}

QString SetAddressRange(TCliOptions& o, const QString& option, const QString& value) {
    const QStringList parts = value.split(u'-');
    const auto first = IntegerIn(parts.value(0), 1, 247);
    const auto last = parts.size() == 2 ? IntegerIn(parts[1], 1, 247) : first;
    if (parts.size() > 2 || !first || !last || *first > *last)
        return Expected(option, value, QStringLiteral("диапазон адресов A-B от 1 до 247"));
    o.firstAddress = *first;
    o.lastAddress = *last;
    return {};
}

const TOption kOptions[] = {
    {"--catalogue", nullptr, "ПАПКА", "папка с main.ini и файлами приборов (по умолчанию — своя)",
     SetText<&TCliOptions::catalogue>},
    {"--device", nullptr, "ИМЯ|N", "прибор: название или номер в каталоге (1 — первый)",
     SetText<&TCliOptions::device>},
    {"--journal", nullptr, "N", "номер журнала прибора (1 — первый)", SetJournal},
    {"--port", nullptr, "COMn|ПУТЬ|АДРЕС",
     "порт: COMn (см. JOURNAL_PORTS и [Ports] в main.ini), путь устройства или "
     "tcp://УЗЕЛ[:ПОРТ], rtu+tcp://УЗЕЛ:ПОРТ",
     SetText<&TCliOptions::port>},
    {"--speed", nullptr, "БОД", "скорость: {speeds}", SetSpeed},
    {"--link", nullptr, "232|485", "тип связи", SetLink},
    {"--address", nullptr, "A", "адрес прибора, от 1 до 247",
     [](TCliOptions& o, const QString& opt, const QString& v) {
         return SetInteger(o.address, opt, v, 1, 247, "адрес от 1 до 247");
     }},
    {"--retries", nullptr, "R", "число повторов запроса",
     [](TCliOptions& o, const QString& opt, const QString& v) {
         return SetInteger(o.retries, opt, v, 0, INT_MAX, "число повторов от 0");
     }},
    {"--timeout", nullptr, "МС", "время ожидания ответа, мс (от 10 до 60000)",
     [](TCliOptions& o, const QString& opt, const QString& v) {
         return SetInteger(o.timeout, opt, v, 10, 60000, "время ожидания от 10 до 60000 мс");
     }},
    {"--tcp-window", nullptr, "auto|N",
     "запросов в полёте на tcp:// (по умолчанию — TcpWindow из main.ini, иначе auto): auto "
     "или от 1 до 16",
     [](TCliOptions& o, const QString& opt, const QString& v) {
         o.tcpWindow = core::ParseTcpWindow(v);
         return o.tcpWindow ? QString()
                            : Expected(opt, v, QStringLiteral("auto или число от 1 до 16"));
     }},
    {"--start", nullptr, "S", "первая запись (вместе с --count)",
     [](TCliOptions& o, const QString& opt, const QString& v) {
         return SetInteger(o.start, opt, v, INT_MIN + 1, INT_MAX, "номер записи");
     }},
    {"--count", nullptr, "C", "количество записей (вместе с --start)",
     [](TCliOptions& o, const QString& opt, const QString& v) {
         return SetInteger(o.count, opt, v, INT_MIN + 1, INT_MAX, "количество записей");
     }},
    {"--output", nullptr, "ФАЙЛ",
     "файл: *.txt — текст, *.xlsx — книга Excel, *.csv — CSV (UTF-8) для программ; "
     "- — стандартный вывод (с --format)",
     SetText<&TCliOptions::output>},
    {"--format", nullptr, "txt|csv|xlsx",
     "формат файла, если имя его не задаёт (имя без расширения, -); книга — не на терминал",
     SetFormat},
    {"--incremental", nullptr, nullptr,
     "дочитать: только записи, которых нет в архиве (файл — как после полного чтения)",
     SetFlag<&TCliOptions::incremental>},
    {"--archive", nullptr, "URL",
     "архив журналов: путь к файлу, sqlite:///путь или postgresql://[пользователь@]хост/база",
     SetArchiveUrl},
    {"--no-archive", nullptr, nullptr, "не сохранять чтение в архив",
     SetFlag<&TCliOptions::noArchive>},
    {"--archive-list", nullptr, nullptr,
     "серии архива: номер, прибор, журнал, первая и последняя запись, записей, время и итог "
     "последнего чтения",
     SetFlag<&TCliOptions::archiveList>},
    {"--from-archive", nullptr, "N",
     "записать --output из серии N архива, без прибора (--start и --count — часть серии)",
     [](TCliOptions& o, const QString& opt, const QString& v) {
         return SetInteger(o.fromArchive, opt, v, 1, INT_MAX, "номер серии архива");
     }},
    {"--trace", nullptr, "ФАЙЛ", "журнал обмена: каждый кадр строкой текста",
     SetText<&TCliOptions::trace>},
    {"--search", nullptr, nullptr,
     "найти прибор на порту: перебрать скорости (--speed первой) и адреса, спрашивая счётчик "
     "записей журнала (--device и --journal) или название прибора",
     SetFlag<&TCliOptions::search>},
    {"--all", nullptr, nullptr, "с --search: не останавливаться на первом ответившем адресе",
     SetFlag<&TCliOptions::all>},
    {"--addresses", nullptr, "A-B", "с --search: диапазон адресов (по умолчанию 1-247)",
     SetAddressRange},
    {"--list", nullptr, nullptr, "приборы каталога и их журналы, по одному в строке",
     SetFlag<&TCliOptions::list>},
    {"--version", nullptr, nullptr, "версия программы", SetFlag<&TCliOptions::version>},
    {"--help", "-h", nullptr, "эта справка", SetFlag<&TCliOptions::help>},
};

const TOption* FindOption(const QString& name) {
    for (const TOption& option : kOptions)
        if (name == QLatin1String(option.name) ||
            (option.alias && name == QLatin1String(option.alias)))
            return &option;
    return nullptr;
}

// The extension of the output file, in lower case; empty when the name has none.
QString OutputExtension(const QString& output) {
    const QString name = output.section(u'/', -1);
    return name.contains(u'.') ? name.section(u'.', -1).toLower() : QString();
}

// The rules of the archive's options; an empty text when they agree.
QString CheckArchiveOptions(const TCliOptions& o) {
    if (o.noArchive && (!o.archiveUrl.isEmpty() || o.incremental || o.archiveList || o.fromArchive))
        return QStringLiteral("--no-archive не сочетается с другими параметрами архива");
    if (o.archiveList &&
        (o.list || o.fromArchive || o.incremental || !o.device.isEmpty() || o.journal > 0 ||
         !o.port.isEmpty() || !o.output.isEmpty() || !o.formatName.isEmpty()))
        return QStringLiteral("--archive-list сочетается только с --catalogue и --archive");
    if (o.fromArchive &&
        (o.list || o.incremental || !o.device.isEmpty() || o.journal > 0 || !o.port.isEmpty()))
        return QStringLiteral("--from-archive не сочетается с --device, --journal, --port, "
                              "--incremental и --list");
    return {};
}

// The output's format from --format or its extension; a name without extension gets the one of
// --format.
QString CheckOutputFormat(TCliOptions& o) {
    const QString ext = o.toStandardOutput() ? QString() : OutputExtension(o.output);
    if (ext == u"xls")
        return QStringLiteral("--output: формат .xls не поддерживается, укажите имя .xlsx");
    const std::optional<core::TExportFormat> named = FormatNamed(ext);
    if (o.formatName.isEmpty()) {
        if (o.toStandardOutput())
            return QStringLiteral("--output -: укажите --format txt, csv или xlsx");
        if (!named)
            return QStringLiteral("--output: «%1» — ожидается файл *.txt, *.csv или *.xlsx "
                                  "(или --format)")
                .arg(o.output);
        o.format = *named;
        return {};
    }
    o.format = *FormatNamed(o.formatName);
    if (named && *named != o.format)
        return QStringLiteral("--format %1 не совпадает с именем файла «%2»")
            .arg(o.formatName, o.output);
    if (ext.isEmpty() && !o.toStandardOutput())
        o.output += u'.' + o.formatName;
    return {};
}

// The rules between options, once every argument was read.
QString CheckCombination(TCliOptions& o) {
    if (o.help || o.version)
        return {};
    if (QString error = CheckArchiveOptions(o); !error.isEmpty())
        return error;
    if (o.archiveList)
        return {};
    if (o.search) {
        if (o.list || !o.output.isEmpty() || !o.formatName.isEmpty() || o.start || o.count ||
            !o.trace.isEmpty())
            return QStringLiteral(
                "--search не сочетается с --list, --output, --start, --count и --trace");
        if (o.port.trimmed().isEmpty())
            return QStringLiteral("не указан --port");
        if (o.device.isEmpty() != (o.journal == 0))
            return QStringLiteral("--device и --journal задаются вместе");
        return {};
    }
    if (o.all || o.firstAddress != 1 || o.lastAddress != 247)
        return QStringLiteral("--all и --addresses задаются только с --search");
    if (o.list) {
        if (!o.device.isEmpty() || o.journal > 0 || !o.port.isEmpty() || !o.output.isEmpty() ||
            !o.formatName.isEmpty())
            return QStringLiteral("--list сочетается только с --catalogue");
        return {};
    }
    const bool reading = !o.fromArchive;
    for (const auto& [name, missing] : {std::pair{"--device", reading && o.device.isEmpty()},
                                        std::pair{"--journal", reading && o.journal == 0},
                                        std::pair{"--port", reading && o.port.trimmed().isEmpty()},
                                        std::pair{"--output", o.output.isEmpty()}})
        if (missing)
            return QStringLiteral("не указан %1").arg(QLatin1String(name));
    if (o.start.has_value() != o.count.has_value())
        return QStringLiteral("--start и --count задаются вместе");
    return CheckOutputFormat(o);
}

} // namespace

QString UsageText() {
    QString options;
    int width = 0;
    const auto head = [](const TOption& o) {
        QString h = QLatin1String(o.name);
        if (o.alias)
            h += QStringLiteral(", ") + QLatin1String(o.alias);
        if (o.value)
            h += u' ' + QString::fromUtf8(o.value);
        return h;
    };
    for (const TOption& o : kOptions)
        width = std::max(width, static_cast<int>(head(o).size()));
    for (const TOption& o : kOptions)
        options +=
            QStringLiteral("  %1  %2\n")
                .arg(head(o), -width)
                .arg(QString::fromUtf8(o.help).replace(QStringLiteral("{speeds}"), SpeedList()));
    return QStringLiteral(
               "Использование:\n"
               "  journal-read [--catalogue ПАПКА] --device ИМЯ|N --journal N --port "
               "COMn|ПУТЬ|АДРЕС\n"
               "               [--speed БОД] [--link 232|485] [--address A] [--retries R]\n"
               "               [--timeout МС] [--tcp-window auto|N] [--start S --count C]\n"
               "               [--incremental]\n"
               "               [--archive URL|--no-archive] [--trace ФАЙЛ]\n"
               "               --output ФАЙЛ.txt|ФАЙЛ.csv|ФАЙЛ.xlsx|- [--format txt|csv|xlsx]\n"
               "  journal-read [--catalogue ПАПКА] [--archive URL] --from-archive N\n"
               "               [--start S --count C] --output ФАЙЛ|- [--format txt|csv|xlsx]\n"
               "  journal-read [--catalogue ПАПКА] [--archive URL] --archive-list\n"
               "  journal-read [--catalogue ПАПКА] --search --port COMn|ПУТЬ [--device ИМЯ|N "
               "--journal N]\n"
               "               [--speed БОД] [--link 232|485] [--addresses A-B] [--all]\n"
               "  journal-read [--catalogue ПАПКА] --list\n"
               "  journal-read --help | --version\n"
               "\n"
               "Считывает журнал прибора так же, как кнопка «Считать» окна, и сохраняет его так "
               "же,\nкак «Сохранить...»: *.txt — текст, *.xlsx — книга Excel. *.csv — CSV для "
               "программ\n(UTF-8, RFC 4180: строка заголовков, время в ISO 8601, числа как "
               "числа, текст ошибки\nв своём столбце). --output - пишет файл в стандартный "
               "вывод.\nСкорость, тип связи, адрес, число повторов и время "
               "ожидания\nответа по умолчанию — из main.ini, как в окне. Каждое чтение "
               "сохраняется\nв архив журналов (main.ini [Archive], JOURNAL_ARCHIVE или\n"
               "~/.local/share/journal-reader/archive.sqlite).\n"
               "\n") +
           options +
           QStringLiteral(
               "\n"
               "Ход чтения выводится в стандартный поток ошибок. Код выхода: 0 — чтение "
               "завершено\n(строки сбойных записей включены), 1 — чтение не началось, не "
               "удалось прочитать\nколичество записей или записать файл (прежний файл остаётся "
               "как был), 2 — ошибка\nв командной строке (и файл, который нельзя записать: это "
               "проверяется до\nподключения), 130 — остановлено по Ctrl-C, 143 — по SIGTERM, "
               "129 — по SIGHUP\n(считанные записи сохранены).\n"
               "\n"
               "Если не удалось прочитать количество записей или часть записей (а с --trace — "
               "и при\nлюбых сбоях обмена), в стандартный поток ошибок выводится диагноз линии: "
               "вероятная\nпричина, признаки и что сделать.\n"
               "\n"
               "--search выводит «Прибор найден: адрес A, скорость S» (с --all — строку на "
               "каждый\nответивший адрес) или «Прибор не найден»; код выхода 0, если прибор "
               "найден, иначе 1.\n");
}

QString UsageError(const QString& reason) {
    return QStringLiteral("journal-read: %1; см. --help").arg(reason);
}

TParseResult ParseCommandLine(const QStringList& arguments) {
    TCliOptions o;
    QString error = platform::WalkCommandLine(
        arguments, FindOption,
        [&o](const TOption& option, const QString& name, const QString& value) {
            return option.apply(o, name, value);
        });
    if (error.isEmpty())
        error = CheckCombination(o);
    if (!error.isEmpty())
        return {std::nullopt, error};
    return {o, {}};
}

} // namespace cli
