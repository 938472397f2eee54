// SPDX-License-Identifier: MIT
// Reads function-65 journal records through OmbrelDll.so from the simulator on a
// pseudo-terminal:
//   (a) without pacing, against a loop of plain register reads in the same run;
//   (b) paced at 19,200 and 115,200 baud, against the wire-time floor (bytes x 10 / baud plus
//       the 3.5-character silences before each request and each answer);
//   (c) the longest wait of one failed exchange (an instrument that never answers, 5 retries,
//       the default 500 ms answer and 50 ms character time-outs) on a silent line and on a line
//       that delivers noise without pause, at 115,200 and 9,600 baud, against the bound
//       (retries + 2) x (answer time + character time-out + 2 x frame time).
// Usage: accesslib_bench [records [data-bytes]]   (default 2000 tdPlain records of 10 bytes;
//        data-bytes 0..251 gives raw records of that size instead)
#include "tests/simulatorfixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <dlfcn.h>

namespace {

struct Lib {
    int32_t (*Connect)(int32_t, int32_t, int32_t);
    int32_t (*Disconnect)();
    int32_t (*ReadInputRegister)(int32_t, int32_t, int32_t, int32_t, uint8_t*);
    int32_t (*AnyFunction)(int32_t, int32_t, int32_t, uint8_t*);
    int32_t (*Retries)(int32_t);
    int32_t (*SetTimeouts)(int32_t, int32_t);
};

template <typename F> bool bind(void* h, F& f, const char* name) {
    f = reinterpret_cast<F>(dlsym(h, name));
    return f != nullptr;
}

struct Run {
    double seconds = 0;
    int errors = 0;
};

Run readRecords(const Lib& lib, int count) {
    uint8_t buf[256];
    Run r;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < count; ++i) {
        const uint8_t req[7] = {0, 1, 0, 1, 0, uint8_t(i >> 8), uint8_t(i)};
        std::copy(req, req + 7, buf);
        if (lib.AnyFunction(1, 65, 7, buf) != 0)
            ++r.errors;
    }
    r.seconds = double(t.nsecsElapsed()) / 1e9;
    return r;
}

Run readRegisters(const Lib& lib, int count) {
    uint8_t buf[252];
    Run r;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < count; ++i)
        if (lib.ReadInputRegister(1, 0, 1, 18, buf) != 0)
            ++r.errors;
    r.seconds = double(t.nsecsElapsed()) / 1e9;
    return r;
}

double gapSeconds(int baud) {
    return baud > 19200 ? 0.00175 : 35.0 / baud;
}

// The longest of `count` failed exchanges, in seconds.
double longestFailedExchange(const Lib& lib, int count) {
    double longest = 0;
    for (int i = 0; i < count; ++i) {
        uint8_t buf[256] = {0, 1, 0, 1, 0, 0, 0};
        QElapsedTimer t;
        t.start();
        lib.AnyFunction(1, 65, 7, buf);
        longest = std::max(longest, double(t.nsecsElapsed()) / 1e9);
    }
    return longest;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // figures appear as each run ends
    const int records = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;

    const QString path = QCoreApplication::applicationDirPath() + "/OmbrelDll.so";
    void* h = dlopen(path.toLocal8Bit().constData(), RTLD_NOW);
    Lib lib{};
    if (!h || !bind(h, lib.Connect, "Connect") || !bind(h, lib.Disconnect, "Disconnect") ||
        !bind(h, lib.ReadInputRegister, "ReadInputRegister") ||
        !bind(h, lib.AnyFunction, "AnyFunction") || !bind(h, lib.Retries, "Retries") ||
        !bind(h, lib.SetTimeouts, "SetTimeouts")) {
        std::fprintf(stderr, "cannot load %s: %s\n", qPrintable(path), dlerror());
        return 1;
    }

    sim::Instrument inst;
    inst.setRegister(300001, quint16(records));
    sim::Journal& journal = inst.addJournal(1, sim::Layout::Plain);
    if (argc > 2) {
        const int size = std::clamp(std::atoi(argv[2]), 0, 251);
        for (int i = 0; i < records; ++i)
            journal.records.append(QByteArray(size, char(i)));
    } else {
        sim::Instrument::addSynthetic(journal, records, {1, 2, 3});
    }
    const int recordBytes = int(inst.journal(1)->records[0].size());
    // Request: address, 0x41, 7 bytes, CRC. Answer: address, 0x41, count, data, CRC.
    const int requestFrame = 1 + 1 + 7 + 2;
    const int answerFrame = 1 + 1 + 1 + recordBytes + 2;

    auto session = [&](int baud, bool paced, auto&& body) {
        QString error;
        const auto s = fixture::StartSimulator(
            inst, {.com = 250, .baud = baud, .pacing = paced ? baud : 0}, &error);
        if (!s) {
            std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
            std::exit(1);
        }
        if (lib.Connect(250, baud, 0) != 1) {
            std::fprintf(stderr, "Connect failed\n");
            std::exit(1);
        }
        lib.Retries(0);
        body(*s);
        lib.Disconnect();
    };

    std::printf("%d function-65 records of %d data bytes (frames %d + %d bytes)\n\n", records,
                recordBytes, requestFrame, answerFrame);

    bool ok = true;
    session(115200, false, [&](sim::Simulator&) {
        readRecords(lib, 50); // warm-up
        const Run rec = readRecords(lib, records);
        const Run reg = readRegisters(lib, records);
        const double ratio = rec.seconds / reg.seconds;
        std::printf("(a) no pacing, 115200 baud set on the port\n");
        std::printf("    function 65 : %8.3f ms per round trip (%d errors)\n",
                    rec.seconds * 1000 / records, rec.errors);
        std::printf("    registers   : %8.3f ms per round trip (%d errors)\n",
                    reg.seconds * 1000 / records, reg.errors);
        std::printf("    ratio       : %8.3f (target <= 1.2)\n\n", ratio);
        ok = ok && ratio <= 1.2 && rec.errors == 0 && reg.errors == 0;
    });

    for (const int baud : {19200, 115200}) {
        session(baud, true, [&](sim::Simulator&) {
            const Run rec = readRecords(lib, records);
            const double floor =
                records * ((requestFrame + answerFrame) * 10.0 / baud + 2 * gapSeconds(baud));
            const double share = floor / rec.seconds;
            std::printf("(b) paced at %d baud\n", baud);
            std::printf("    measured    : %8.3f s (%.3f ms per record, %d errors)\n", rec.seconds,
                        rec.seconds * 1000 / records, rec.errors);
            std::printf("    wire floor  : %8.3f s (%.3f ms per record)\n", floor,
                        floor * 1000 / records);
            std::printf("    speed       : %7.1f %% of the floor's (target >= 90 %%)\n\n",
                        share * 100);
            ok = ok && share >= 0.9 && rec.errors == 0;
        });
    }
    std::printf("(c) one failed exchange, 5 retries, 500 ms answer, 50 ms character time-out\n");
    for (const int baud : {115200, 9600}) {
        const double frame = std::max(260 * 10.0 / baud, 0.020);
        const double bound = 7 * (0.5 + 0.05 + 2 * frame);
        for (const bool noise : {false, true}) {
            session(baud, true, [&](sim::Simulator& s) {
                s.addFault(*sim::parseFault("noanswer"));
                s.link()->setNoise(noise);
                lib.Retries(5);
                lib.SetTimeouts(500, 50);
                const double longest = longestFailedExchange(lib, 3);
                std::printf("    %6d baud, %s line: longest %6.3f s, bound %6.3f s (%5.1f %%)\n",
                            baud, noise ? "noisy " : "silent", longest, bound,
                            longest / bound * 100);
                ok = ok && longest <= bound;
            });
        }
    }
    std::printf("\n%s\n", ok ? "all targets met" : "TARGET MISSED");
    return ok ? 0 : 3;
}
