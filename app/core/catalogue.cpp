// SPDX-License-Identifier: MIT
#include "app/core/catalogue.h"

#include "platform/codepage.h"
#include "platform/inifile.h"

#include <QDir>
#include <QFileInfo>

#include <functional>

namespace core {

Q_LOGGING_CATEGORY(lcCatalogue, "journal.catalogue", QtInfoMsg)

namespace {

constexpr int kMaxRecTypeSections = 20001;

// Writes "s<k>" into `buffer` (whose first character is 's') and returns it.
QStringView sectionName(int k, char16_t (&buffer)[16]) {
    char16_t digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char16_t>(u'0' + k % 10);
        k /= 10;
    } while (k > 0);
    for (int i = 0; i < n; ++i)
        buffer[1 + i] = digits[n - 1 - i];
    return QStringView(buffer, 1 + n);
}

// A main.ini that reads as damaged is reported: it may have lost devices or settings. Saving
// keeps every line it holds all the same.
void ReportDamage(const platform::IniFile& mainIni, const QString& path, QStringList& errors) {
    using Damage = platform::IniFile::Damage;
    const char* what = nullptr;
    switch (mainIni.damage()) {
    case Damage::None:
        return;
    case Damage::Empty:
        what = "пуст: приборы и настройки не загружены";
        break;
    case Damage::Binary:
        what = "содержит двоичные данные: он, видимо, поврежден";
        break;
    case Damage::Truncated:
        what = "обрывается на середине строки: он, видимо, обрезан";
        break;
    }
    errors.append(QStringLiteral("Файл настроек %1 %2.")
                      .arg(QDir::toNativeSeparators(path), QString::fromUtf8(what)));
}

const QString kSettings = QStringLiteral("Settings");
const QString kPosition = QStringLiteral("Position");
const QString kSaveDialog = QStringLiteral("SaveDialog");
const QString kArchive = QStringLiteral("Archive");
// Whether the file's encoding holds `text` (windows-1251 lacks most scripts).
bool Encodable(const platform::IniFile& ini, const QString& text) {
    return ini.encoding() != platform::IniFile::Encoding::Ansi ||
           platform::fromCp1251(platform::toCp1251(text)) == text;
}

// Journal j of a device description. A ring larger than a record request can address is
// reported; the run refuses it again when it starts. The archive number goes into the requests
// by its low 8 bits, whatever its size.
void ReadJournalInfo(const platform::IniFile& f, int j, TJournalInfo& J, const QString& label,
                     QStringList* errors) {
    const QString s = QStringLiteral("settings");
    const QString n = QString::number(j);
    J.CountRec = f.readInteger(s, QStringLiteral("ArchCountRec") + n, -1);
    J.Num = f.readInteger(s, QStringLiteral("ArchNum") + n, -1);
    J.Reg = f.readInteger(s, QStringLiteral("ArchReg") + n, -1);
    J.Name = f.readString(s, QStringLiteral("ArchName") + n, QStringLiteral("???"));
    J.StartTime = f.readInteger(s, QStringLiteral("StartTime") + n, 0) == 1970;
    J.Cycle = f.readBool(s, QStringLiteral("ArchCycle") + n, false);
    J.DTIsWorkTime = f.readBool(s, QStringLiteral("ArchIsWorkTime") + n, false);
    J.RegOverflow = f.readInteger(s, QStringLiteral("ArchRegOverFlow") + n, -1);
    J.typedev =
        static_cast<TTypeDev>(f.readInteger(s, QStringLiteral("ArchStandart") + n, 0) & 0xFF);
    if (!errors)
        return;
    // CountRec counts the records of a ring and of a journal without count register.
    if ((J.Cycle || J.Reg == -1) && J.CountRec > kRecordPositions)
        errors->append(QStringLiteral("%1: ArchCountRec%2=%3 — больше 65536 записей, которые "
                                      "может адресовать запрос.")
                           .arg(label, n, QString::number(J.CountRec)));
}

} // namespace

// The keys of main.ini that remember the user's choices.
namespace {

const QString kJournals = QStringLiteral("Journals");
const QString kChart = QStringLiteral("Chart");

// The per-device keys of [Journals] and [Chart]: "Dev1" for the device at index 0.
QString DeviceKey(int index) {
    return QStringLiteral("Dev%1").arg(index + 1);
}

// The device index of a per-device key; nullopt for any other key.
std::optional<int> DeviceIndex(const QString& key) {
    if (!key.startsWith(QLatin1String("Dev"), Qt::CaseInsensitive))
        return std::nullopt;
    bool ok = false;
    const int n = key.mid(3).toInt(&ok);
    return ok && n >= 1 ? std::optional(n - 1) : std::nullopt;
}

// The per-device entries of [Journals] and [Chart].
void ReadDeviceMemory(const platform::IniFile& ini, TConnectionSettings& s) {
    for (const QString& key : ini.keys(kJournals)) {
        const auto index = DeviceIndex(key);
        const auto journal = platform::parseIniInteger(ini.readString(kJournals, key, QString()));
        if (index && journal && *journal >= 1)
            s.journals[*index] = *journal - 1;
    }
    for (const QString& key : ini.keys(kChart)) {
        const auto index = DeviceIndex(key);
        if (!index)
            continue;
        std::vector<std::int32_t> ids;
        for (const QString& item : ini.readString(kChart, key, QString()).split(u','))
            if (const auto id = platform::parseIniInteger(item.trimmed()))
                ids.push_back(*id);
        s.chartTypes[*index] = std::move(ids);
    }
}

void WritePosition(platform::IniFile& ini, const TConnectionSettings& s) {
    if (s.Top)
        ini.writeInteger(kPosition, u"Top", *s.Top);
    if (s.Left)
        ini.writeInteger(kPosition, u"Left", *s.Left);
    if (s.Width)
        ini.writeInteger(kPosition, u"Width", *s.Width);
    if (s.Height)
        ini.writeInteger(kPosition, u"Height", *s.Height);
    if (s.Maximized)
        ini.writeInteger(kPosition, u"Maximized", *s.Maximized ? 1 : 0);
}

void WriteDeviceMemory(platform::IniFile& ini, const TConnectionSettings& s) {
    for (const auto& [index, journal] : s.journals)
        ini.writeInteger(kJournals, DeviceKey(index), journal + 1);
    for (const auto& [index, ids] : s.chartTypes) {
        QStringList items;
        for (const std::int32_t id : ids)
            items.append(QString::number(id));
        ini.writeString(kChart, DeviceKey(index), items.join(u','));
    }
}

} // namespace

TConnectionSettings ReadConnectionSettings(const platform::IniFile& ini) {
    TConnectionSettings s;
    if (ini.valueExists(kSettings, u"lastcomport"))
        s.lastcomport = ini.readString(kSettings, u"lastcomport", QString());
    s.lastcomspeed = ini.readInteger(kSettings, u"lastcomspeed", 0);
    s.lastaddr = ini.readInteger(kSettings, u"lastaddr", 1);
    s.Retries = ini.readInteger(kSettings, u"Retries", 5);
    s.AnswerTime = ini.readInteger(kSettings, u"AnswerTime", 500);
    s.LastDev = ini.readInteger(kSettings, u"LastDev", -1);
    const int link = ini.readInteger(kSettings, u"lastlink", 0);
    s.lastlink = link == 1 ? 1 : 0;
    if (const auto top = platform::parseIniInteger(ini.readString(kPosition, u"Top", QString())))
        s.Top = *top;
    if (const auto left = platform::parseIniInteger(ini.readString(kPosition, u"Left", QString())))
        s.Left = *left;
    if (const auto w = platform::parseIniInteger(ini.readString(kPosition, u"Width", QString())))
        s.Width = *w;
    if (const auto h = platform::parseIniInteger(ini.readString(kPosition, u"Height", QString())))
        s.Height = *h;
    if (ini.valueExists(kPosition, u"Maximized"))
        s.Maximized = ini.readBool(kPosition, u"Maximized", false);
    ReadDeviceMemory(ini, s);
    if (ini.valueExists(kSaveDialog, u"Folder"))
        s.saveFolder = ini.readString(kSaveDialog, u"Folder", QString());
    if (ini.valueExists(kSaveDialog, u"Filter"))
        s.saveFilter = ini.readInteger(kSaveDialog, u"Filter", 1);
    if (ini.valueExists(kArchive, u"Url"))
        s.archiveUrl = ini.readString(kArchive, u"Url", QString());
    if (ini.valueExists(kArchive, u"Enabled"))
        s.archiveEnabled = ini.readInteger(kArchive, u"Enabled", 1);
    return s;
}

bool UpdateMainIni(const QString& mainIniPath, const std::function<void(platform::IniFile&)>& edit,
                   QString* message) {
    const auto fail = [&] {
        if (message)
            *message = QStringLiteral("Unable to write to %1")
                           .arg(QFileInfo(mainIniPath).absoluteFilePath());
        return false;
    };
    platform::IniFile ini;
    // A main.ini that exists but cannot be read would be replaced by the settings alone.
    if (!ini.load(mainIniPath) && QFileInfo::exists(mainIniPath))
        return fail();
    edit(ini);
    if (ini.save(mainIniPath))
        return true;
    return fail();
}

bool SaveSettings(const QString& mainIniPath, const TConnectionSettings& s, QString* message) {
    return UpdateMainIni(
        mainIniPath,
        [&](platform::IniFile& ini) {
            ini.writeString(kSettings, u"lastcomport", s.lastcomport.value_or(QString()));
            ini.writeInteger(kSettings, u"lastcomspeed", s.lastcomspeed);
            if (s.lastaddr)
                ini.writeInteger(kSettings, u"lastaddr", *s.lastaddr);
            ini.writeInteger(kSettings, u"Retries", s.Retries);
            ini.writeInteger(kSettings, u"AnswerTime", s.AnswerTime);
            ini.writeInteger(kSettings, u"LastDev", s.LastDev);
            ini.writeInteger(kSettings, u"lastlink", s.lastlink);
            WritePosition(ini, s);
            if (s.saveFolder && Encodable(ini, *s.saveFolder))
                ini.writeString(kSaveDialog, u"Folder", *s.saveFolder);
            if (s.saveFilter)
                ini.writeInteger(kSaveDialog, u"Filter", *s.saveFilter);
            WriteDeviceMemory(ini, s);
        },
        message);
}

bool SaveLinkTimes(const QString& mainIniPath, int answerTime, int retries, QString* message) {
    return UpdateMainIni(
        mainIniPath,
        [&](platform::IniFile& ini) {
            ini.writeInteger(kSettings, u"Retries", retries);
            ini.writeInteger(kSettings, u"AnswerTime", answerTime);
        },
        message);
}

void AddRecType(std::vector<TRecType>& list, std::int32_t ID, std::int32_t atype,
                const QString& name) {
    TRecType r;
    r.addr = ID;
    r.atype = atype;
    r.Name = name;
    list.push_back(std::move(r));
}

QStringList SplitValueList(const QString& listText) {
    QString text = listText;
    text.replace(u' ', QChar(0x00A0));

    QStringList items;
    const qsizetype n = text.size();
    const auto isSeparatorBlank = [&](qsizetype i) { return i < n && text[i].unicode() <= 0x20; };
    qsizetype i = 0;
    while (isSeparatorBlank(i))
        ++i;
    while (i < n) {
        QString item;
        if (text[i] == u'"') {
            // Quoted item: up to the closing quote, "" stands for one quote.
            ++i;
            while (i < n) {
                if (text[i] == u'"') {
                    if (i + 1 < n && text[i + 1] == u'"') {
                        item += u'"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                item += text[i++];
            }
        } else {
            const qsizetype start = i;
            while (i < n && text[i].unicode() > 0x20 && text[i] != u';')
                ++i;
            item = text.mid(start, i - start);
        }
        items.append(item);
        while (isSeparatorBlank(i))
            ++i;
        if (i < n && text[i] == u';') {
            if (i + 1 == n)
                items.append(QString());
            ++i;
            while (isSeparatorBlank(i))
                ++i;
        }
    }
    return items;
}

void AddListRecType(std::vector<TRecType>& list, std::int32_t ID, const QString& name,
                    const QString& listText, QStringList* badIdentifiers) {
    TRecType r;
    r.addr = ID;
    r.atype = dtList;
    r.Name = name;
    r.Strs.emplace();
    for (const QString& item : SplitValueList(listText)) {
        const qsizetype eq = item.indexOf(u'=');
        if (eq < 0)
            continue;
        const QString idText = item.left(eq);
        const auto id = platform::parseIniInteger(idText);
        if (!id) {
            if (badIdentifiers)
                badIdentifiers->append(idText);
            continue;
        }
        r.Strs->push_back({*id, item.mid(eq + 1)});
    }
    list.push_back(std::move(r));
}

void ReadDevice(const platform::IniFile& f, TDevInfo& dev, const QString& label,
                QStringList* errors) {
    const QString s = QStringLiteral("settings");
    dev.Name = f.readString(s, u"name", QStringLiteral("прибор"));

    // The journal array has six entries; a description with more journals gets the first six.
    dev.CountJournals = std::clamp(f.readInteger(s, u"archtypecount", 0), 0, kMaxJournals);
    for (int j = 1; j <= dev.CountJournals; ++j)
        ReadJournalInfo(f, j, dev.Journal[static_cast<std::size_t>(j - 1)], label, errors);

    dev.ListRecType.clear();
    char16_t buffer[16] = {u's'};
    for (int k = 0; k < kMaxRecTypeSections; ++k) {
        // "s" + k, built in place: this loop may run 20,001 times per device.
        const QStringView sec = sectionName(k, buffer);
        const std::int32_t id = f.readInteger(sec, u"ID", -1);
        qCDebug(lcCatalogue, "%d", k);
        if (id == -1)
            break;
        const QString name = f.readString(sec, u"name", QStringLiteral("???"));
        const QStringView type = f.value(sec, u"type").value_or(u"18");
        if (const auto code = platform::parseIniInteger(type)) {
            AddRecType(dev.ListRecType, id, *code, name);
            continue;
        }
        QStringList bad;
        AddListRecType(dev.ListRecType, id, name, type.toString(), &bad);
        if (errors)
            for (const QString& b : bad)
                errors->append(QStringLiteral("'%1' is not a valid integer value (%2, [%3])")
                                   .arg(b, label, sec.toString()));
    }

    dev.v1 = f.readInteger(s, u"veraa", 0);
    dev.v2 = f.readInteger(s, u"verbb", 0);
    dev.v3 = f.readInteger(s, u"vercc", 0);
    dev.v4 = f.readInteger(s, u"verdd", 0);
}

QString ResolveDeviceFile(const QString& directory, const QString& name) {
    QString rel = name;
    rel.replace(u'\\', u'/');
    const QString direct = QDir(directory).filePath(rel);
    if (QFileInfo::exists(direct))
        return direct;

    // Walk the path and take, for each missing component, an entry that differs in case only.
    QString path = QDir::isAbsolutePath(rel) ? QStringLiteral("/") : directory;
    for (const QString& part : rel.split(u'/', Qt::SkipEmptyParts)) {
        const QString exact = QDir(path).filePath(part);
        if (part == u"." || part == u".." || QFileInfo::exists(exact)) {
            path = exact;
            continue;
        }
        const QStringList entries = QDir(path).entryList(QDir::AllEntries | QDir::Hidden |
                                                         QDir::System | QDir::NoDotAndDotDot);
        const auto it = std::find_if(entries.cbegin(), entries.cend(), [&](const QString& e) {
            return e.compare(part, Qt::CaseInsensitive) == 0;
        });
        if (it == entries.cend())
            return direct;
        path = QDir(path).filePath(*it);
    }
    return path;
}

bool TCatalogue::readCatalogueFile(platform::IniFile& ini, const QString& path) {
    const auto result = ini.read(path);
    if (result == platform::IniFile::ReadResult::TooLarge)
        Errors.append(QStringLiteral("Файл «%1» больше %2 МБ и не прочитан.")
                          .arg(path, QString::number(platform::IniFile::kMaxFileSize >> 20)));
    return result == platform::IniFile::ReadResult::Loaded;
}

QString FindDeviceFile(const QString& mainIniPath, const QString& deviceDirectory,
                       const QString& name) {
    const QString besideMainIni = ResolveDeviceFile(QFileInfo(mainIniPath).absolutePath(), name);
    return QFileInfo(besideMainIni).isFile() ? besideMainIni
                                             : ResolveDeviceFile(deviceDirectory, name);
}

void TCatalogue::Load(const QString& directory) {
    Load(QDir(directory).filePath(QStringLiteral("main.ini")), directory);
}

void TCatalogue::Load(const QString& mainIniPath, const QString& deviceDirectory) {
    MainIniPath = mainIniPath;
    ListDev.clear();
    Errors.clear();

    platform::IniFile mainIni;
    if (readCatalogueFile(mainIni, MainIniPath))
        ReportDamage(mainIni, MainIniPath, Errors);
    Settings = ReadConnectionSettings(mainIni);

    const int countDev = mainIni.readInteger(u"Main", u"CountDev", 0);
    for (int n = 1; n <= countDev; ++n) {
        const QString key = QStringLiteral("Dev") + QString::number(n);
        const QString file = mainIni.readString(u"Main", key, QStringLiteral("qqq"));
        if (!mainIni.valueExists(u"Main", key))
            Errors.append(QStringLiteral("Файл настроек %1: CountDev=%2, но ключа %3 в нем нет; "
                                         "загружено приборов: %4.")
                              .arg(QDir::toNativeSeparators(MainIniPath), QString::number(countDev),
                                   key, QString::number(n - 1)));
        if (file == u"qqq")
            break;
        auto dev = std::make_unique<TDevInfo>();
        dev->FileName = file;
        platform::IniFile description;
        readCatalogueFile(description, FindDeviceFile(MainIniPath, deviceDirectory, file));
        ReadDevice(description, *dev, file, &Errors);
        ListDev.push_back(std::move(dev));
    }
}

} // namespace core
