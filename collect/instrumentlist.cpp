// SPDX-License-Identifier: MIT
#include "collect/instrumentlist.h"

#include "app/cli/journalread.h"
#include "app/core/catalogue.h"
#include "app/core/selectors.h"
#include "platform/endpoint.h"
#include "platform/inifile.h"
#include "platform/portlist.h"
#include "platform/portname.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <map>
#include <optional>

namespace collect {
namespace {

using std::chrono::seconds;

// Keys a line section may give its instruments, which may give their own.
struct TLineSettings {
    std::optional<int> speed;
    std::optional<int> linkType;
    std::optional<int> answerTime;
    std::optional<int> retries;
    std::optional<int> connectPauseMs;
    std::optional<int> requestPauseMs;
    std::optional<bool> keepConnection;
};

const char* const kInstrumentKeys[] = {"Port", "Address", "Device", "Journals", "Every"};
const char* const kRequiredKeys[] = {"Port", "Address", "Device", "Every"};
const char* const kLineKeys[] = {"Speed",        "Link",         "AnswerTime",    "Retries",
                                 "ConnectPause", "RequestPause", "KeepConnection"};
// Keys that mean nothing on a network endpoint.
const char* const kSerialKeys[] = {"Speed", "Link"};

constexpr int kMaxPauseMs = 600000;

bool IsOneOf(const QString& key, const auto& names) {
    return std::any_of(std::begin(names), std::end(names), [&](const char* n) {
        return platform::iniNamesEqual(key, QString::fromLatin1(n));
    });
}

// A section named like a port describes a line.
bool IsLineSection(const QString& name) {
    return platform::comPortNumber(name) > 0 || name.startsWith(u'/') ||
           platform::isNetworkEndpoint(name);
}

// Reads one section and reports its problems with the file's lines.
class TSectionReader {
public:
    TSectionReader(const platform::IniFile& ini, const QString& path, const QString& section,
                   std::vector<TListProblem>& problems)
        : m_ini(ini), m_path(path), m_section(section), m_problems(problems),
          m_lineSection(IsLineSection(section)) {}

    std::optional<QString> text(const char* key) const {
        const auto v = m_ini.value(m_section, QString::fromLatin1(key));
        return v ? std::optional<QString>(v->toString()) : std::nullopt;
    }

    // A problem of a key (or of the section, for an empty key) that makes the entry not run.
    bool wrong(const QString& key, const QString& what) {
        report(key,
               what + (m_lineSection ? QStringLiteral("; раздел линии не учитывается")
                                     : QStringLiteral("; прибор пропущен")),
               true);
        return false;
    }
    // A problem that leaves the entry running.
    void note(const QString& key, const QString& what) {
        report(key, what + QStringLiteral("; ключ не учитывается"), false);
    }
    // "Key=value: expected ..."
    QString badValue(const char* key, const QString& expected) const {
        return QStringLiteral("%1=%2: ожидается %3")
            .arg(QLatin1String(key), text(key).value_or(QString()), expected);
    }

    // An integer key within [min, max]; nullopt when missing. False (and a message through
    // `fail`) when it is there and wrong.
    template <class Fail>
    bool integer(const char* key, int min, int max, const QString& expected,
                 std::optional<int>& out, Fail fail) {
        const auto t = text(key);
        if (!t)
            return true;
        const auto v = platform::parseIniInteger(*t);
        if (!v || *v < min || *v > max) {
            fail(QLatin1String(key), badValue(key, expected));
            return false;
        }
        out = *v;
        return true;
    }

    int sectionLine() const { return m_ini.sectionLine(m_section); }

private:
    void report(const QString& key, const QString& what, bool skipped) {
        const int line = key.isEmpty() ? sectionLine() : m_ini.keyLine(m_section, key);
        m_problems.push_back(
            {line,
             QStringLiteral("%1:%2: [%3] %4").arg(m_path, QString::number(line), m_section, what),
             skipped});
    }

    const platform::IniFile& m_ini;
    QString m_path;
    QString m_section;
    std::vector<TListProblem>& m_problems;
    bool m_lineSection;
};

// The keys of a line's settings; false when one of them is wrong (each reported through `fail`).
template <class Fail> bool ReadLineSettings(TSectionReader& r, TLineSettings& s, Fail fail) {
    bool ok = true;
    if (const auto t = r.text("Speed")) {
        const auto v = platform::parseIniInteger(*t);
        if (v && std::find(core::kSpeeds.begin(), core::kSpeeds.end(), *v) != core::kSpeeds.end()) {
            s.speed = *v;
        } else {
            fail(QStringLiteral("Speed"),
                 r.badValue("Speed", QStringLiteral("скорость из списка окна")));
            ok = false;
        }
    }
    if (const auto t = r.text("Link")) {
        if (*t == u"232" || *t == u"485") {
            s.linkType = *t == u"232" ? 0 : 1;
        } else {
            fail(QStringLiteral("Link"), r.badValue("Link", QStringLiteral("232 или 485")));
            ok = false;
        }
    }
    const QString pause = QStringLiteral("пауза от 0 до %1 мс").arg(kMaxPauseMs);
    ok &= r.integer("AnswerTime", 10, 60000, QStringLiteral("время ожидания от 10 до 60000 мс"),
                    s.answerTime, fail);
    ok &=
        r.integer("Retries", 0, 100, QStringLiteral("число повторов от 0 до 100"), s.retries, fail);
    ok &= r.integer("ConnectPause", 0, kMaxPauseMs, pause, s.connectPauseMs, fail);
    ok &= r.integer("RequestPause", 0, kMaxPauseMs, pause, s.requestPauseMs, fail);
    std::optional<int> keep;
    ok &= r.integer("KeepConnection", 0, 1, QStringLiteral("0 или 1"), keep, fail);
    if (keep)
        s.keepConnection = *keep != 0;
    return ok;
}

// The line a port is on: its device path with links resolved, or the endpoint in its normal
// form; nullopt with the reason when the port names none.
std::optional<QString> LineOfPort(const QString& port, const QString& mainIniPath, bool* network,
                                  QString* why) {
    const QString path = platform::PortList::devicePathForName(port.trimmed(), mainIniPath);
    if (path.isEmpty()) {
        *why = platform::comPortNumber(port.trimmed()) > 0
                   ? QStringLiteral("порта %1 нет (ни в системе, ни в [Ports] main.ini, ни в "
                                    "JOURNAL_PORTS)")
                         .arg(port.trimmed())
                   : QStringLiteral("Port=%1: ожидается COMn, путь устройства, "
                                    "tcp://УЗЕЛ[:ПОРТ] или rtu+tcp://УЗЕЛ:ПОРТ")
                         .arg(port);
        return std::nullopt;
    }
    *network = platform::isNetworkEndpoint(path);
    if (*network) {
        QString error;
        const auto endpoint = platform::parseNetworkEndpoint(path, &error);
        if (!endpoint) {
            *why = QStringLiteral("Port=%1: %2").arg(port, error);
            return std::nullopt;
        }
        return endpoint->text();
    }
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(path) : canonical;
}

// Journals=1,2 of the device; every journal when the key is left out.
std::optional<QList<int>> ReadJournals(TSectionReader& r, const TDevInfo& device) {
    QList<int> journals;
    const auto t = r.text("Journals");
    if (!t) {
        for (int j = 1; j <= std::min(device.CountJournals, core::kMaxJournals); ++j)
            journals << j;
        if (journals.isEmpty())
            r.wrong({}, QStringLiteral("у прибора «%1» нет журналов").arg(device.Name));
        return journals.isEmpty() ? std::nullopt : std::optional(journals);
    }
    for (const QString& item : t->split(u',')) {
        const auto j = platform::parseIniInteger(item.trimmed());
        if (!j || !device.journalAt(*j - 1) || journals.contains(*j)) {
            r.wrong(QStringLiteral("Journals"),
                    r.badValue("Journals",
                               QStringLiteral("номер журнала прибора «%1» от 1 до "
                                              "%2, несколько — через запятую")
                                   .arg(device.Name, QString::number(device.CountJournals))));
            return std::nullopt;
        }
        journals << *j;
    }
    return journals;
}

struct TDefaults {
    int speed = 0;
    int linkType = 0;
    int answerTime = 0;
    int retries = 0;
};

// main.ini's connection settings, as journal-read takes them.
TDefaults CatalogueDefaults(const core::TConnectionSettings& s) {
    const int item = s.lastcomspeed;
    const bool listed = item >= 0 && item < static_cast<int>(core::kSpeeds.size());
    return {listed ? core::kSpeeds[static_cast<std::size_t>(item)] : core::TRunRequest{}.speed,
            s.lastlink, s.AnswerTime, s.Retries};
}

// An instrument as its section gave it, before it joins its line.
struct TRead {
    TInstrument instrument;
    TLineSettings own; // its own keys of the line settings
    QString lineKey;
    bool network = false;
};

void ApplySettings(TRead& read, const TLineSettings& line, const TDefaults& d) {
    TInstrument& i = read.instrument;
    const TLineSettings& own = read.own;
    i.speed = read.network ? 0 : own.speed.value_or(line.speed.value_or(d.speed));
    i.linkType = own.linkType.value_or(line.linkType.value_or(d.linkType));
    i.answerTime = own.answerTime.value_or(line.answerTime.value_or(d.answerTime));
    i.retries = own.retries.value_or(line.retries.value_or(d.retries));
    i.connectPauseMs = own.connectPauseMs.value_or(line.connectPauseMs.value_or(0));
    i.requestPauseMs = own.requestPauseMs.value_or(line.requestPauseMs.value_or(0));
    i.keepConnection = own.keepConnection.value_or(line.keepConnection.value_or(false));
}

// What the parse keeps while it walks the sections.
struct TParse {
    const platform::IniFile& ini;
    const core::TCatalogue& catalogue;
    TInstrumentList& list;
    std::map<QString, TLineSettings> lineSettings; // by line key
    std::vector<TRead> read;
};

// A section opened twice reads as one: the entry cannot be trusted.
bool ReadOnce(TSectionReader& r, const platform::IniFile& ini, const QString& section) {
    if (const int again = ini.repeatedSectionLine(section); again > 0)
        return r.wrong({}, QStringLiteral("раздел повторяется в строке %1").arg(again));
    return true;
}

void ReadLineSection(TParse& p, const QString& section) {
    TSectionReader r(p.ini, p.list.path, section, p.list.problems);
    if (!ReadOnce(r, p.ini, section))
        return;
    bool network = false;
    QString why;
    const auto key = LineOfPort(section, p.catalogue.MainIniPath, &network, &why);
    if (!key) {
        r.wrong({}, why);
        return;
    }
    TLineSettings settings;
    ReadLineSettings(r, settings, [&](const QString& k, const QString& what) { r.note(k, what); });
    for (const QString& k : p.ini.keys(section)) {
        if (!IsOneOf(k, kLineKeys))
            r.note(k, QStringLiteral("%1: не ключ раздела линии").arg(k));
        else if (network && IsOneOf(k, kSerialKeys))
            r.note(k, QStringLiteral("%1 не относится к сетевому адресу").arg(k));
    }
    p.lineSettings[*key] = settings;
}

// The port's line of an instrument; false when the port names none.
bool ReadPort(TParse& p, TSectionReader& r, TRead& read) {
    read.instrument.port = *r.text("Port");
    QString why;
    const auto line =
        LineOfPort(read.instrument.port, p.catalogue.MainIniPath, &read.network, &why);
    if (!line)
        return r.wrong(QStringLiteral("Port"), why);
    read.lineKey = *line;
    return true;
}

// The device and its journals; false when either is wrong.
bool ReadDevice(TParse& p, TSectionReader& r, TInstrument& i) {
    i.device = cli::FindDevice(p.catalogue, r.text("Device")->trimmed());
    if (!i.device)
        return r.wrong(QStringLiteral("Device"),
                       r.badValue("Device", QStringLiteral("название прибора каталога или его "
                                                           "номер от 1 до %1")
                                                .arg(p.catalogue.ListDev.size())));
    const auto journals = ReadJournals(r, *i.device);
    if (journals)
        i.journals = *journals;
    return journals.has_value();
}

// Port, Address, Device, Journals and Every of an instrument; false when one is missing or wrong
// (each wrong one reported).
bool ReadInstrumentKeys(TParse& p, TSectionReader& r, TRead& read) {
    QStringList missing;
    for (const char* key : kRequiredKeys)
        if (!r.text(key))
            missing << QLatin1String(key);
    if (!missing.isEmpty())
        return r.wrong({}, (missing.size() == 1 ? QStringLiteral("нет ключа %1")
                                                : QStringLiteral("нет ключей %1"))
                               .arg(missing.join(QStringLiteral(", "))));
    TInstrument& i = read.instrument;
    bool ok = ReadPort(p, r, read);
    const auto fail = [&](const QString& k, const QString& what) { r.wrong(k, what); };
    std::optional<int> address;
    ok &= r.integer("Address", 1, 247, QStringLiteral("адрес от 1 до 247"), address, fail);
    i.address = address.value_or(0);
    ok &= ReadDevice(p, r, i);
    const auto every = ParsePeriod(*r.text("Every"));
    if (every)
        i.every = *every;
    else
        ok = r.wrong(QStringLiteral("Every"),
                     r.badValue("Every", QStringLiteral("период: число и s, m, h или d (15m), "
                                                        "от 1 s до 366 d")));
    return ok;
}

void ReadInstrumentSection(TParse& p, const QString& section) {
    TSectionReader r(p.ini, p.list.path, section, p.list.problems);
    if (!ReadOnce(r, p.ini, section))
        return;
    TRead read;
    read.instrument.name = section;
    for (const QString& k : p.ini.keys(section))
        if (!IsOneOf(k, kInstrumentKeys) && !IsOneOf(k, kLineKeys))
            r.note(k, QStringLiteral("%1: неизвестный ключ").arg(k));
    const bool keys = ReadInstrumentKeys(p, r, read);
    const auto fail = [&](const QString& k, const QString& w) { r.wrong(k, w); };
    if (!(ReadLineSettings(r, read.own, fail) && keys))
        return;
    for (const char* k : kSerialKeys)
        if (read.network && r.text(k))
            r.note(QLatin1String(k),
                   QStringLiteral("%1 не относится к сетевому адресу").arg(QLatin1String(k)));
    p.read.push_back(std::move(read));
}

// Groups the instruments into lines (in the order their first instrument comes) with the line
// sections' settings; a second instrument at an address of its line is left out.
void GroupIntoLines(TParse& p) {
    const TDefaults defaults = CatalogueDefaults(p.catalogue.Settings);
    std::map<QString, int> lineIndex;
    for (TRead& read : p.read) {
        TInstrument& instrument = read.instrument;
        const QString& key = read.lineKey;
        auto [it, added] = lineIndex.try_emplace(key, static_cast<int>(p.list.lines.size()));
        if (added)
            p.list.lines.push_back({key, read.network, {}});
        TLine& line = p.list.lines[static_cast<std::size_t>(it->second)];
        const auto same =
            std::find_if(line.instruments.cbegin(), line.instruments.cend(), [&](int k) {
                return p.list.instruments[static_cast<std::size_t>(k)].address ==
                       instrument.address;
            });
        if (same != line.instruments.cend()) {
            TSectionReader r(p.ini, p.list.path, instrument.name, p.list.problems);
            r.wrong(QStringLiteral("Address"),
                    QStringLiteral("Address=%1: этот адрес на линии %2 уже у прибора «%3»")
                        .arg(QString::number(instrument.address), key,
                             p.list.instruments[static_cast<std::size_t>(*same)].name));
            continue;
        }
        ApplySettings(read, p.lineSettings[key], defaults);
        instrument.line = it->second;
        line.instruments << static_cast<int>(p.list.instruments.size());
        p.list.instruments.push_back(std::move(instrument));
    }
}

} // namespace

QString DefaultListPath(const QString& mainIniPath) {
    return QFileInfo(mainIniPath).dir().filePath(QStringLiteral("collect.ini"));
}

TInstrumentList ParseInstrumentList(const platform::IniFile& ini, const QString& path,
                                    const core::TCatalogue& catalogue) {
    TInstrumentList list;
    list.path = path;
    TParse p{ini, catalogue, list, {}, {}};
    const QStringList sections = ini.sections();
    for (const QString& section : sections)
        if (IsLineSection(section))
            ReadLineSection(p, section);
    for (const QString& section : sections)
        if (!IsLineSection(section))
            ReadInstrumentSection(p, section);
    GroupIntoLines(p);
    std::stable_sort(list.problems.begin(), list.problems.end(),
                     [](const TListProblem& a, const TListProblem& b) { return a.line < b.line; });
    return list;
}

TInstrumentList ReadInstrumentList(const QString& path, const core::TCatalogue& catalogue) {
    platform::IniFile ini;
    const auto read = ini.read(path);
    if (read != platform::IniFile::ReadResult::Loaded) {
        TInstrumentList list;
        list.path = path;
        list.error = read == platform::IniFile::ReadResult::TooLarge
                         ? QStringLiteral("Список приборов %1 больше 16 МиБ: не прочитан").arg(path)
                         : QStringLiteral("Список приборов %1 не найден или не читается").arg(path);
        return list;
    }
    return ParseInstrumentList(ini, path, catalogue);
}

std::optional<seconds> ParsePeriod(const QString& text) {
    const QString t = text.trimmed().toLower();
    static const std::pair<QChar, qint64> kUnits[] = {
        {u's', 1}, {u'm', 60}, {u'h', 3600}, {u'd', 86400}};
    if (t.size() < 2)
        return std::nullopt;
    for (const auto& [unit, factor] : kUnits) {
        if (t.back() != unit)
            continue;
        bool ok = false;
        const qint64 n = t.chopped(1).toLongLong(&ok);
        if (!ok || n < 1 || n > 366 * 86400 / factor || !t.front().isDigit())
            return std::nullopt;
        return seconds(n * factor);
    }
    return std::nullopt;
}

QString PeriodText(seconds period) {
    const qint64 s = period.count();
    for (const auto& [unit, factor] : {std::pair{'d', 86400}, {'h', 3600}, {'m', 60}})
        if (s >= factor && s % factor == 0)
            return QString::number(s / factor) + QLatin1Char(unit);
    return QString::number(s) + u's';
}

} // namespace collect
