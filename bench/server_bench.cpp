// SPDX-License-Identifier: MIT
// Register reads through the components and the exchange server against the same reads done
// directly, on one simulated instrument behind a pseudo-terminal link.
//
//   server_bench [reads]     (default 2000)
//
// Modes:
//   components, one at a time  - the reading path's pattern: the next read is queued from the
//                                answer event of the previous one
//   components, all queued     - every read queued at once, answers counted
//   access library             - OmbrelDll.so from the program folder, when it has been built
//   plain QModbusRtuSerialClient - Qt's client in this process, one request at a time
// The ratio compares each mode's rate with the access library's, or with the plain client's when
// the library is not there.
#include "comm/comtransport.h"
#include "comm/modbusmaster.h"
#include "server/channel.h"
#include "serverprocess.h"
#include "sim/simulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QModbusRtuSerialClient>
#include <QSerialPort>
#include <QTimer>

#include <cstdio>
#include <dlfcn.h>

namespace {

struct Result {
    const char* mode;
    int reads = 0;
    int failures = 0;
    double ms = 0;
};

constexpr int kRegister = 9;

Result viaComponents(int n, bool allAtOnce) {
    Result r{allAtOnce ? "components, all queued" : "components, one at a time"};
    comm::TRS232Transport rs;
    rs.SetPort(QStringLiteral("COM5"));
    rs.SetRetries(0);
    comm::TModbusMaster mbm;
    mbm.SetTransport(&rs);
    rs.SetLiveChannel(true);
    fixture::waitFor([&] { return rs.LiveChannel(); }, 10000);
    if (!rs.LiveChannel()) {
        std::fprintf(stderr, "the channel did not open\n");
        return r;
    }
    QEventLoop loop;
    int answered = 0;
    mbm.OnExchange = [&](QObject*, qint32 qid, qint32, qint32, const QVariant&, qint32 result) {
        ++answered;
        if (result != 0)
            ++r.failures;
        if (answered == n)
            loop.quit();
        else if (!allAtOnce)
            mbm.ReadHoldRegs(qid + 1, 0, kRegister, 18, 1);
    };
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    QElapsedTimer t;
    t.start();
    if (allAtOnce)
        for (int q = 1; q <= n; ++q)
            mbm.ReadHoldRegs(q, 0, kRegister, 18, 1);
    else
        mbm.ReadHoldRegs(1, 0, kRegister, 18, 1);
    loop.exec();
    r.ms = double(t.nsecsElapsed()) / 1e6;
    r.reads = answered;
    rs.SetLiveChannel(false);
    fixture::waitFor([&] { return !rs.LiveChannel(); }, 5000);
    return r;
}

Result viaPlainClient(int n, const QString& device) {
    Result r{"plain QModbusRtuSerialClient"};
    server::JournalRtuClient client;
    client.setConnectionParameter(QModbusDevice::SerialPortNameParameter, device);
    client.setConnectionParameter(QModbusDevice::SerialBaudRateParameter, 19200);
    client.setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
    client.setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::NoParity);
    client.setConnectionParameter(QModbusDevice::SerialStopBitsParameter, QSerialPort::OneStop);
    client.setTimeout(500);
    client.setNumberOfRetries(0);
    if (!client.connectDevice()) {
        std::fprintf(stderr, "plain client: %s\n", qPrintable(client.errorString()));
        return r;
    }
    QEventLoop loop;
    int answered = 0;
    std::function<void()> next = [&] {
        QModbusReply* reply = client.sendReadRequest(
            QModbusDataUnit(QModbusDataUnit::HoldingRegisters, kRegister, 1), 1);
        if (!reply) {
            ++r.failures;
            loop.quit();
            return;
        }
        QObject::connect(reply, &QModbusReply::finished, &loop, [&, reply] {
            if (reply->error() != QModbusDevice::NoError)
                ++r.failures;
            reply->deleteLater();
            if (++answered == n)
                loop.quit();
            else
                next();
        });
    };
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    QElapsedTimer t;
    t.start();
    next();
    loop.exec();
    r.ms = double(t.nsecsElapsed()) / 1e6;
    r.reads = answered;
    client.disconnectDevice();
    return r;
}

Result viaAccessLibrary(int n, bool& available) {
    Result r{"access library OmbrelDll.so"};
    const QString path = QStringLiteral(JOURNAL_BIN_DIR "/OmbrelDll.so");
    available = false;
    if (!QFileInfo::exists(path))
        return r;
    void* lib = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!lib)
        return r;
    using ConnectFn = int32_t (*)(int32_t, int32_t, int32_t);
    using DisconnectFn = int32_t (*)();
    using ReadFn = int32_t (*)(int32_t, int32_t, int32_t, int32_t, uint8_t*);
    using RetriesFn = int32_t (*)(int32_t);
    auto connect = reinterpret_cast<ConnectFn>(::dlsym(lib, "Connect"));
    auto disconnect = reinterpret_cast<DisconnectFn>(::dlsym(lib, "Disconnect"));
    auto read = reinterpret_cast<ReadFn>(::dlsym(lib, "ReadHoldingRegister"));
    auto retries = reinterpret_cast<RetriesFn>(::dlsym(lib, "Retries"));
    if (!connect || !disconnect || !read || !connect(5, 19200, 0))
        return r;
    available = true;
    if (retries)
        retries(0);
    uint8_t buf[252] = {};
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i) {
        if (read(1, kRegister, 1, 18, buf) != 0)
            ++r.failures;
        ++r.reads;
    }
    r.ms = double(t.nsecsElapsed()) / 1e6;
    disconnect();
    return r;
}

void print(const Result& r, double baselineRate) {
    const double rate = r.ms > 0 ? r.reads * 1000.0 / r.ms : 0;
    std::printf("%-30s %6d reads %4d failed %9.1f ms %7.3f ms/read %8.1f reads/s  x%.2f\n", r.mode,
                r.reads, r.failures, r.ms, r.reads ? r.ms / r.reads : 0.0, rate,
                baselineRate > 0 ? rate / baselineRate : 0.0);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;

    sim::Instrument data;
    data.holdingRegisters.insert(kRegister, 120);
    sim::Simulator instrument(data);
    QString why;
    if (!instrument.start(&why)) {
        std::fprintf(stderr, "set-up failed: %s\n", qPrintable(why));
        return 1;
    }
    fixture::ServerProcess server(instrument.clientPath());
    if (!server.start(&why)) {
        std::fprintf(stderr, "set-up failed: %s\n", qPrintable(why));
        return 1;
    }

    const Result one = viaComponents(n, false);
    const Result all = viaComponents(n, true);
    bool haveLibrary = false;
    const Result lib = viaAccessLibrary(n, haveLibrary);
    const Result plain = viaPlainClient(n, instrument.clientPath());

    const Result& base = haveLibrary ? lib : plain;
    const double baseRate = base.ms > 0 ? base.reads * 1000.0 / base.ms : 0;
    std::printf("%d register reads at 19200 baud over a pseudo-terminal; ratio against %s\n", n,
                base.mode);
    print(one, baseRate);
    print(all, baseRate);
    if (haveLibrary)
        print(lib, baseRate);
    else
        std::printf("%-30s not built in this tree: compared with the plain client instead\n",
                    lib.mode);
    print(plain, baseRate);
    return one.failures + all.failures == 0 && one.reads == n && all.reads == n ? 0 : 1;
}
