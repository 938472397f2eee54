#include "app/cli/cliargs.h"

#include "platform/inifile.h"

#include <functional>
#include <map>

namespace cli {
namespace {

std::optional<int> integerValue(const QString& text) {
    const auto v = platform::parseIniInteger(text.trimmed());
    return v ? std::optional<int>(*v) : std::nullopt;
}

QString needsInteger(const QString& option, const QString& value, const char* what) {
    return QStringLiteral("%1: «%2» is not %3").arg(option, value, QLatin1String(what));
}

} // namespace

QString UsageText() {
    return QStringLiteral(
        "Usage:\n"
        "  journal-read [--catalogue DIR] --device NAME|INDEX --journal N --port COMn|DEVICE\n"
        "               [--speed BAUD] [--link 232|485] [--address A] [--retries R]\n"
        "               [--start S --count C] --output FILE.txt|FILE.xlsx\n"
        "  journal-read [--catalogue DIR] --list\n"
        "\n"
        "Reads a journal of an instrument the way the window's \"Считать\" does and saves it the\n"
        "way \"Сохранить...\" does: a .txt name gives the text file, .xlsx a workbook.\n"
        "\n"
        "  --catalogue DIR  folder of main.ini and the device files (default: the program's)\n"
        "  --device         device name or its position in the catalogue (1 = first)\n"
        "  --journal        journal number of the device (1 = first)\n"
        "  --port           COMn (see JOURNAL_PORTS, main.ini [Ports]) or a device path\n"
        "  --speed, --link, --address, --retries\n"
        "                   connection settings (default: those kept in main.ini)\n"
        "  --start, --count read C records from record S on (both or neither)\n"
        "  --list           print the devices and their journals, one a line\n"
        "\n"
        "Progress goes to standard error. Exit status: 0 the run finished (rows of failed\n"
        "records included), 1 the run could not start, its record count could not be read or\n"
        "the file could not be written (the old file stays as it was), 2 wrong command line\n"
        "(also an output file that cannot be written: checked before connecting), 130 stopped\n"
        "by Ctrl-C, 143 by SIGTERM, 129 by SIGHUP (the records read so far are saved).\n");
}

TParseResult ParseCommandLine(const QStringList& arguments) {
    TCliOptions o;
    bool haveJournal = false;
    QString error;
    const auto fail = [&](const QString& e) {
        if (error.isEmpty())
            error = e;
    };
    const auto setInt = [&](std::optional<int>& target, const char* what, int min, int max) {
        return [&target, what, min, max, &fail](const QString& opt, const QString& v) {
            const auto n = integerValue(v);
            if (!n || *n < min || *n > max)
                fail(needsInteger(opt, v, what));
            else
                target = *n;
        };
    };
    const std::map<QString, std::function<void(const QString&, const QString&)>> valued = {
        {QStringLiteral("--catalogue"), [&](const QString&, const QString& v) { o.catalogue = v; }},
        {QStringLiteral("--device"), [&](const QString&, const QString& v) { o.device = v; }},
        {QStringLiteral("--journal"),
         [&](const QString& opt, const QString& v) {
             const auto n = integerValue(v);
             if (!n || *n < 1)
                 fail(needsInteger(opt, v, "a journal number from 1"));
             else
                 o.journal = *n, haveJournal = true;
         }},
        {QStringLiteral("--port"), [&](const QString&, const QString& v) { o.port = v.trimmed(); }},
        {QStringLiteral("--speed"), setInt(o.speed, "a baud rate", 1, 0x7FFFFFFF)},
        {QStringLiteral("--link"),
         [&](const QString& opt, const QString& v) {
             if (v == u"232")
                 o.linkType = 0;
             else if (v == u"485")
                 o.linkType = 1;
             else
                 fail(needsInteger(opt, v, "232 or 485"));
         }},
        {QStringLiteral("--address"), setInt(o.address, "an address from 1 to 247", 1, 247)},
        {QStringLiteral("--retries"), setInt(o.retries, "a retry count from 0", 0, 0x7FFFFFFF)},
        {QStringLiteral("--start"), setInt(o.start, "a record number", -0x7FFFFFFF, 0x7FFFFFFF)},
        {QStringLiteral("--count"), setInt(o.count, "a record count", -0x7FFFFFFF, 0x7FFFFFFF)},
        {QStringLiteral("--output"), [&](const QString&, const QString& v) { o.output = v; }},
    };

    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString arg = arguments[i];
        if (arg == u"--list") {
            o.list = true;
            continue;
        }
        if (arg == u"--help" || arg == u"-h") {
            o.help = true;
            continue;
        }
        QString value;
        bool inline_ = false;
        if (const qsizetype eq = arg.indexOf(u'='); arg.startsWith(u"--") && eq > 0) {
            value = arg.mid(eq + 1);
            arg.truncate(eq);
            inline_ = true;
        }
        const auto it = valued.find(arg);
        if (it == valued.end()) {
            fail(QStringLiteral("unknown argument «%1»").arg(arguments[i]));
            continue;
        }
        if (!inline_) {
            if (i + 1 >= arguments.size()) {
                fail(QStringLiteral("%1 needs a value").arg(arg));
                continue;
            }
            value = arguments[++i];
        }
        it->second(arg, value);
    }

    if (error.isEmpty() && !o.help) {
        if (o.list) {
            if (!o.device.isEmpty() || haveJournal || !o.port.isEmpty() || !o.output.isEmpty())
                fail(QStringLiteral("--list takes no other option than --catalogue"));
        } else if (o.device.isEmpty()) {
            fail(QStringLiteral("--device is missing"));
        } else if (!haveJournal) {
            fail(QStringLiteral("--journal is missing"));
        } else if (o.port.isEmpty()) {
            fail(QStringLiteral("--port is missing"));
        } else if (o.output.isEmpty()) {
            fail(QStringLiteral("--output is missing"));
        } else if (o.start.has_value() != o.count.has_value()) {
            fail(QStringLiteral("--start and --count go together"));
        } else {
            const QString name = o.output.section(u'/', -1);
            const QString ext = name.contains(u'.') ? name.section(u'.', -1).toLower() : QString();
            if (ext == u"xlsx")
                o.spreadsheet = true;
            else if (ext == u"xls")
                fail(QStringLiteral("--output: формат .xls не поддерживается, укажите имя .xlsx"));
            else if (ext != u"txt")
                fail(QStringLiteral("--output must name a .txt or .xlsx file"));
        }
    }
    if (!error.isEmpty())
        return {std::nullopt, error};
    return {o, {}};
}

} // namespace cli
