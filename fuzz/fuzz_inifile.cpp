// SPDX-License-Identifier: MIT
// Any bytes as main.ini or as a device description: the INI reader, the settings and device
// readers and the whole catalogue loader must neither crash nor lose keys when writing, and a
// reading run of every journal described must send only the record indexes it means.
#include "app/core/catalogue.h"
#include "app/core/journaldecoder.h"
#include "app/core/readingrun.h"
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

// An instrument whose count and overflow registers read as [run] count= and overflow= of the
// same bytes and which answers every record. It checks that each record index sent is the one
// the run means (the run's first record plus the records before it, wrapped in a ring): an index
// the request cannot carry must never be cut to 16 bits.
class FuzzLibrary : public core::IModbusLink {
public:
    const core::TReadingRun* run = nullptr;
    const TJournalInfo* journal = nullptr;
    bool fixedLoop = false;
    int count = 0, overflow = 0;
    std::int64_t records = 0;

    bool Connect(int, int, int) override { return true; }
    void Disconnect() override {}
    int GetDevName(int, std::uint8_t*, int) override { return 0; }
    int ReadInputRegister(int, int, int, int, std::uint8_t* p) override { return read(p); }
    int ReadHoldingRegister(int, int, int, int, std::uint8_t* p) override { return read(p); }
    int AnyFunction(int, int, int, std::uint8_t* p) override {
        std::int64_t expected = run->Result().startrec + records++;
        if (fixedLoop && journal->Cycle && journal->CountRec > 0)
            expected %= journal->CountRec;
        check(expected >= 0 && expected < core::kRecordPositions && (p[5] << 8 | p[6]) == expected);
        check(p[1] == core::ArchiveOnWire(journal->Num));
        std::fill(p, p + 256, 0);
        p[0] = 65;
        p[1] = 20;
        return 0;
    }
    void Retries(int) override {}

private:
    // The count register is read first (when there is one), then the overflow register.
    int read(std::uint8_t* p) {
        const int v = journal->Reg != -1 && m_reads++ == 0 ? count : overflow;
        p[0] = std::uint8_t(v);
        p[1] = std::uint8_t(v >> 8);
        return 0;
    }
    int m_reads = 0;
};

// Stops a run after a few hundred records: what matters is how it starts and counts.
class FuzzHost : public core::TSilentRunHost {
public:
    core::TReadingRun* run = nullptr;
    int events = 0;
    void BetweenCalls() override {
        if (++events > 300)
            run->Stop();
    }
};

void readingRuns(const platform::IniFile& ini, const TDevInfo& dev) {
    const QString r = QStringLiteral("run");
    for (int j = 0; j < dev.CountJournals; ++j) {
        const TJournalInfo& journal = dev.Journal[static_cast<std::size_t>(j)];
        core::TStringGrid sg(2, 5), sgGr(2, 1);
        core::TJournalDecoder decoder(sg);
        core::TRunDecoder runDecoder(decoder, sgGr);
        FuzzLibrary lib;
        FuzzHost host;
        core::TReadingRun run(lib, runDecoder, sg, host);
        lib.run = &run;
        lib.journal = &journal;
        lib.fixedLoop = journal.typedev == tdPlain || journal.typedev == tdPlain2 ||
                        journal.typedev == tdPlain3 || journal.typedev == tdPlain4;
        lib.count = ini.readInteger(r, u"count", 0) & 0xFFFF;
        lib.overflow = ini.readInteger(r, u"overflow", 0) & 0xFFFF;
        host.run = &run;
        core::TRunRequest request;
        request.device = &dev;
        request.journalIndex = j;
        request.portNumber = 1;
        request.limit = ini.valueExists(r, u"start");
        request.startText = ini.readString(r, u"start", {});
        request.countText = ini.readString(r, u"limit", {});
        run.Run(request);
        check(!run.IsActive() && lib.records <= core::kRecordPositions);
    }
}

void deviceFile(const QByteArray& bytes) {
    const platform::IniFile ini(bytes);
    TDevInfo dev;
    QStringList errors;
    core::ReadDevice(ini, dev, QStringLiteral("dev.ini"), &errors);
    check(dev.CountJournals >= 0 && dev.CountJournals <= core::kMaxJournals);
    core::TStringGrid grid(2, 4);
    core::TJournalDecoder::FillRecTypeGrid(grid, &dev);
    readingRuns(ini, dev);
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
        check(dev && dev->CountJournals <= core::kMaxJournals);
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
