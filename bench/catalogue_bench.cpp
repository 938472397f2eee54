// SPDX-License-Identifier: MIT
// Times the catalogue loader on generated catalogues:
//   1. main.ini with 50 devices of 1,000 record types each (target: under 300 ms);
//   2. one device file without record sections: the loader stops at the missing "s0"; the
//      20,001 probes the loop allows are also timed on that file (target: under 20 ms);
//   3. one device file with record sections s0 .. s20000, the most the loader reads.
// Prints the best and the median of several runs of each.
#include "app/core/catalogue.h"
#include "platform/codepage.h"
#include "platform/inifile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

void writeCp1251(const QString& path, const QString& text) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
    f.write(platform::toCp1251(text));
}

QString deviceText(int device, int recordTypes) {
    QString t;
    t += QStringLiteral("; Сгенерированный прибор %1\r\n[settings]\r\nname=Прибор %1\r\n"
                        "archtypecount=2\r\n")
             .arg(device);
    for (int j = 1; j <= 2; ++j)
        t += QStringLiteral("ArchName%1=Журнал %1\r\nArchNum%1=%1\r\nArchReg%1=30000%1\r\n"
                            "ArchCountRec%1=1000\r\nArchCycle%1=1\r\nArchStandart%1=0\r\n")
                 .arg(j);
    for (int k = 0; k < recordTypes; ++k) {
        t += QStringLiteral("\r\n[s%1]\r\nID=%2\r\nname=Параметр номер %1\r\n").arg(k).arg(k + 1);
        if (k % 4 == 3)
            t += QStringLiteral("type=0=выкл;1=вкл;2=нет данных;3=\"авария; сброс\"\r\n");
        else
            t += QStringLiteral("type=%1\r\n").arg(k % 2 ? 4 : 18);
    }
    return t;
}

struct Timing {
    double best = 0;
    double median = 0;
};

Timing measure(int runs, const std::function<void()>& fn) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        fn();
        ms.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms.front(), ms[ms.size() / 2]};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;

    // 1. 50 devices x 1,000 record types.
    const int devices = 50;
    QString mainIni = QStringLiteral("[Main]\r\nCountDev=%1\r\n").arg(devices);
    QDir(dir.path()).mkdir(QStringLiteral("devices"));
    for (int d = 1; d <= devices; ++d) {
        mainIni += QStringLiteral("Dev%1=devices\\dev%1.ini\r\n").arg(d);
        writeCp1251(dir.filePath(QStringLiteral("devices/dev%1.ini").arg(d)), deviceText(d, 1000));
    }
    writeCp1251(dir.filePath(QStringLiteral("main.ini")), mainIni);

    std::size_t types = 0;
    const Timing full = measure(7, [&] {
        core::TCatalogue c;
        c.Load(dir.path());
        types = 0;
        for (const auto& dev : c.ListDev)
            types += dev->ListRecType.size();
    });
    std::printf("catalogue, %d devices x 1000 record types (%zu loaded): best %.1f ms, median "
                "%.1f ms (target < 300 ms)\n",
                devices, types, full.best, full.median);

    // 2. A device file without record sections.
    const QString empty = dir.filePath(QStringLiteral("empty.ini"));
    writeCp1251(empty, deviceText(0, 0));
    const Timing none = measure(21, [&] {
        platform::IniFile f;
        f.load(empty);
        TDevInfo dev;
        core::ReadDevice(f, dev, empty, nullptr);
    });
    std::printf("device file without record sections: best %.3f ms, median %.3f ms\n", none.best,
                none.median);

    // The 20,001 probes a device file could take, against a file without record sections: the
    // loader itself stops at the first missing section, so the probe loop is timed on its own.
    platform::IniFile emptyFile;
    emptyFile.load(empty);
    int found = 0;
    const Timing probeLoop = measure(21, [&] {
        found = 0;
        for (int k = 0; k <= 20000; ++k)
            if (emptyFile.readInteger(QLatin1Char('s') + QString::number(k), u"ID", -1) != -1)
                ++found;
    });
    std::printf("20,001 probes of absent sections: best %.3f ms, median %.3f ms (target < 20 ms)\n",
                probeLoop.best, probeLoop.median);

    // 3. The most probes one device can take: sections s0 .. s20000.
    const QString big = dir.filePath(QStringLiteral("big.ini"));
    writeCp1251(big, deviceText(0, 20001));
    std::size_t bigTypes = 0;
    const Timing probes = measure(11, [&] {
        platform::IniFile f;
        f.load(big);
        TDevInfo dev;
        core::ReadDevice(f, dev, big, nullptr);
        bigTypes = dev.ListRecType.size();
    });
    platform::IniFile bigFile;
    const Timing bigParse = measure(11, [&] { bigFile.load(big); });
    std::printf("device file with 20,001 record sections (%zu loaded, 20,001 probes): best %.1f "
                "ms, median %.1f ms; of which reading and indexing the file: best %.1f ms\n",
                bigTypes, probes.best, probes.median, bigParse.best);
    return 0;
}
