// Any bytes as main.ini or as a device description: the INI reader, the settings and device
// readers and the whole catalogue loader must neither crash nor lose keys when writing.
#include "app/core/catalogue.h"
#include "app/core/journaldecoder.h"
#include "app/core/stringgrid.h"
#include "platform/inifile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

// Writing one key keeps every other setting as it reads, and the written value reads back.
void settingsRoundTrip(const QByteArray& bytes) {
    platform::IniFile ini(bytes);
    const core::TConnectionSettings before = core::ReadConnectionSettings(ini);
    for (const QString& section : {QStringLiteral("Main"), QStringLiteral("Settings")})
        for (const QString& key : ini.keys(section))
            (void)ini.readString(section, key, {});

    ini.writeString(u"Settings", u"lastcomport", QStringLiteral("COM7\r\nx=1"));
    ini.writeInteger(u"Position", u"Top", -5);
    platform::IniFile again(ini.toBytes());
    check(again.readString(u"Settings", u"lastcomport", {}) == QStringLiteral("COM7  x=1"));
    check(again.readInteger(u"Position", u"Top", 0) == -5);
    const core::TConnectionSettings after = core::ReadConnectionSettings(again);
    check(after.lastcomspeed == before.lastcomspeed && after.lastaddr == before.lastaddr &&
          after.Retries == before.Retries && after.LastDev == before.LastDev &&
          after.lastlink == before.lastlink && after.Left == before.Left);
    check(again.readInteger(u"Main", u"CountDev", 0) == ini.readInteger(u"Main", u"CountDev", 0));
}

void deviceFile(const QByteArray& bytes) {
    const platform::IniFile ini(bytes);
    TDevInfo dev;
    QStringList errors;
    core::ReadDevice(ini, dev, QStringLiteral("dev.ini"), &errors);
    check(dev.CountJournals >= 0 && dev.CountJournals <= kMaxJournals);
    TStringGrid grid(2, 4);
    core::TJournalDecoder::FillRecTypeGrid(grid, &dev);
}

// The loader on real files: the bytes are main.ini and also every device file it names in the
// directory. Names that could leave the directory are not tried (the fuzzer must not read the
// machine's files).
void wholeCatalogue(const QByteArray& bytes) {
    if (bytes.contains('/') || bytes.contains('\\') || bytes.contains(':'))
        return;
    static QTemporaryDir dir;
    QDir d(dir.path());
    for (const QString& e : d.entryList(QDir::Files | QDir::Hidden))
        d.remove(e);
    for (const char* name : {"main.ini", "d.ini", "D1"}) {
        QFile f(d.filePath(QString::fromLatin1(name)));
        check(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    core::TCatalogue catalogue;
    catalogue.Load(dir.path());
    for (const auto& dev : catalogue.ListDev)
        check(dev && dev->CountJournals <= kMaxJournals);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 65536)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    switch (data[0] % 4) {
    case 0:
        settingsRoundTrip(bytes);
        break;
    case 1:
        deviceFile(bytes);
        break;
    case 2:
        wholeCatalogue(bytes);
        break;
    default:
        for (const QByteArray& word : bytes.split('\n'))
            (void)platform::parseIniInteger(QString::fromLatin1(word));
        break;
    }
    return 0;
}
