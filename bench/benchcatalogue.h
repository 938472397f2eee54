// SPDX-License-Identifier: MIT
#pragma once

// The reading benchmarks' catalogue in a temporary folder: one device whose journal has no count
// register (CountRec records; IDs float, sword and a list), main.ini, and a link to the access
// library built beside the benchmark, loaded through the binding as the window loads it.
#include "app/core/accesslibrarybinding.h"
#include "app/core/catalogue.h"
#include "app/core/readingrun.h"
#include "platform/messagesink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdint>
#include <cstdio>

struct BenchSink : platform::IMessageSink {
    void information(const QString& t) override { std::fprintf(stderr, "%s\n", qPrintable(t)); }
    void warning(const QString& t) override { information(t); }
    void error(const QString& t) override { information(t); }
};

// A reading run's host without widgets: messages on standard error, the status line kept, Qt's
// events handled at every turn unless `handleEvents` is off.
class QuietRunHost : public core::TSilentRunHost {
public:
    explicit QuietRunHost(bool handleEvents = true) : m_handleEvents(handleEvents) {}
    void ShowMessage(const QString& text, const QString&) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    void SetStatusText(const QString& text) override { status = text; }
    void BetweenCalls() override {
        if (m_handleEvents)
            QCoreApplication::processEvents();
    }
    QString status;

private:
    bool m_handleEvents;
};

class BenchCatalogue {
public:
    // Writes the catalogue for `records` records (mainSettings go to main.ini's [Settings]),
    // loads it and the library; false, with a message on stderr, when it cannot.
    bool prepare(int records, const QByteArray& mainSettings = {}) {
        if (!write(QStringLiteral("main.ini"), "[Main]\nCountDev=1\nDev1=bench.ini\n[Settings]\n"
                                               "LastDev=0\nRetries=0\n" +
                                                   mainSettings) ||
            !setRecords(records) ||
            !QFile::link(QCoreApplication::applicationDirPath() + "/OmbrelDll.so",
                         dir.filePath("OmbrelDll.so")) ||
            !lib.LoadAccessLibrary(dir.path(), &sink)) {
            std::fprintf(stderr, "cannot prepare the catalogue in %s\n", qPrintable(dir.path()));
            return false;
        }
        return true;
    }
    // The journal's record count from here on (the catalogue is loaded again).
    bool setRecords(int records) {
        const QString device = QStringLiteral(
            "[settings]\nname=Bench\narchtypecount=1\nArchName1=J\nArchNum1=1\nArchCountRec1=%1\n"
            "ArchStandart1=0\n[s0]\nID=1\nname=Float\ntype=4\n[s1]\nID=2\nname=Word\ntype=2\n"
            "[s2]\nID=3\nname=List\ntype=0=off;1=on\n");
        if (!write(QStringLiteral("bench.ini"), device.arg(records).toUtf8()))
            return false;
        catalogue.Load(dir.path());
        return !catalogue.ListDev.empty();
    }
    const TDevInfo* device() const { return catalogue.ListDev[0].get(); }
    // A run of the journal on COMcom at 115,200 baud, without retries.
    core::TRunRequest runRequest(int com) const {
        core::TRunRequest request;
        request.device = device();
        request.journalIndex = 0;
        request.portNumber = com;
        request.speed = 115200;
        request.retries = 0;
        return request;
    }

    // The bare loop: the library calls of a run on COMcom (Connect, Retries, AnyFunction for each
    // record, Disconnect) and nothing else. Seconds taken, or -1 when Connect fails.
    double bareLoop(int com, int records, int* errors) {
        QElapsedTimer t;
        t.start();
        *errors = 0;
        if (!lib.Connect(com, 115200, 0))
            return -1;
        lib.Retries(0);
        std::uint8_t buf[256];
        for (int i = 0; i < records; ++i) {
            std::fill(std::begin(buf), std::end(buf), 0);
            const auto req = core::RecordRequest(1, i);
            std::copy(req.begin(), req.end(), buf);
            *errors += lib.AnyFunction(1, 65, 7, buf) != 0;
        }
        lib.Disconnect();
        return t.nsecsElapsed() / 1e9;
    }

    QTemporaryDir dir;
    core::TCatalogue catalogue;
    BenchSink sink;
    core::TAccessLibraryBinding lib;

private:
    bool write(const QString& name, const QByteArray& text) {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
    }
};
