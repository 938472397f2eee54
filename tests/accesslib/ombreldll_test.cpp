// SPDX-License-Identifier: MIT
#include "accesslibrary_fixture.h"

#include "accesslib/frames/rtuframe.h"
#include "accesslib/src/modbusline.h"
#include "ombrel/rtuandtcpmaster.h"
#include "platform/codepage.h"
#include "tests/unprivileged.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSerialPort>
#include <QTcpServer>
#include <QTemporaryDir>

#include <cstring>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <thread>
#include <unistd.h>

using sim::Fault;
using sim::Instrument;
using sim::Layout;

namespace {

Instrument journalInstrument() {
    Instrument inst;
    inst.name = QStringLiteral("Регулятор РТ-10");
    inst.setRegister(300001, 3);
    inst.setRegister(300005, 0x1234);
    inst.setRegister(400010, 120);
    inst.setRegister(400011, 0xABCD);
    inst.setRegister(400012, 0x0102);
    Instrument::addSynthetic(inst.addJournal(1, Layout::Plain), 20);
    return inst;
}

QByteArray replyData(const uint8_t* buf) {
    return QByteArray(reinterpret_cast<const char*>(buf + 2), buf[1]);
}

} // namespace

TEST_F(AccessLibraryTest, ExportsEveryFunction) {
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    for (const char* name : {"Connect", "Disconnect", "GetDevName", "Test", "ReadInputRegister",
                             "ReadHoldingRegister", "WriteRegister", "AnyFunction", "Retries"})
        EXPECT_NE(dlsym(lib.handle, name), nullptr) << name;
}

TEST_F(AccessLibraryTest, ReadsRegistersAtTheirAddresses) {
    startAndConnect(journalInstrument());
    uint8_t buf[252] = {};
    ASSERT_EQ(lib.ReadInputRegister(1, 4, 1, 18, buf), 0);
    EXPECT_EQ(buf[0], 0x34); // least significant byte first
    EXPECT_EQ(buf[1], 0x12);
    ASSERT_EQ(lib.ReadInputRegister(1, 0, 1, 18, buf), 0);
    EXPECT_EQ(buf[0] | buf[1] << 8, 3);
    ASSERT_EQ(lib.ReadHoldingRegister(1, 9, 1, 18, buf), 0);
    EXPECT_EQ(buf[0] | buf[1] << 8, 120);
    // A 32-bit value: two registers, the first the high word.
    ASSERT_EQ(lib.ReadHoldingRegister(1, 10, 1, 19, buf), 0);
    EXPECT_EQ(QByteArray(reinterpret_cast<char*>(buf), 4), QByteArray::fromHex("0201cdab"));
    // Several 16-bit registers.
    ASSERT_EQ(lib.ReadHoldingRegister(1, 9, 3, 18, buf), 0);
    EXPECT_EQ(QByteArray(reinterpret_cast<char*>(buf), 6), QByteArray::fromHex("7800cdab0201"));
}

TEST_F(AccessLibraryTest, JournalRepliesOfEveryLayout) {
    Instrument inst;
    const QByteArray maxRecord = [] {
        QByteArray b;
        for (int i = 0; i < 251; ++i)
            b.append(char(i));
        return b;
    }();
    struct Case {
        Layout layout;
        QByteArray record;
    };
    const QList<Case> cases = {
        {Layout::Plain, Instrument::fixedRecord(Layout::Plain, 90061, 7, 0x3FC00000)},
        {Layout::Plain2, Instrument::fixedRecord(Layout::Plain2, 1600000000, 100, 0xFFFFFFFF)},
        {Layout::Plain3, Instrument::fixedRecord(Layout::Plain3, 59, 2, 5, 4)},
        {Layout::Plain4, Instrument::fixedRecord(Layout::Plain4, 1, 3, 0x12345678, 0x9ABCDEF0)},
        {Layout::Marlo, Instrument::textRecord(" 13.09.20 12:26:40 Уставка : 1 -> 2")},
        {Layout::Quint, Instrument::textRecord("13.09.2020 12:26:40\r\nУставка:\r\n1 > 2")},
        {Layout::Quint, Instrument::modeRecord(1600000000, 2)},
        {Layout::Plain, QByteArray()},
        {Layout::Plain, maxRecord},
    };
    for (int i = 0; i < cases.size(); ++i)
        inst.addJournal(i + 1, cases[i].layout).records = {QByteArray("x"), cases[i].record};
    startAndConnect(inst);

    for (int i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        uint8_t buf[256];
        recordRequest(buf, i + 1, 1);
        ASSERT_EQ(lib.AnyFunction(1, 65, 7, buf), 0);
        EXPECT_EQ(buf[0], 0x41);
        EXPECT_EQ(replyData(buf), cases[i].record);
        const int end = 2 + int(cases[i].record.size());
        EXPECT_EQ(std::count(buf + end, buf + 256, 0), 256 - end) << "rest not zeroed";
    }
    // Fixed layouts land where the reader's decoder looks: time at bytes 2-5, and for tdPlain
    // the ID at 6-7 and the new value at 8-11.
    uint8_t buf[256];
    recordRequest(buf, 1, 1);
    ASSERT_EQ(lib.AnyFunction(1, 65, 7, buf), 0);
    EXPECT_EQ(QByteArray(reinterpret_cast<char*>(buf + 2), 10),
              QByteArray::fromHex("00015fcd00073fc00000"));
    // Text records travel in windows-1251.
    recordRequest(buf, 5, 1);
    ASSERT_EQ(lib.AnyFunction(1, 65, 7, buf), 0);
    EXPECT_EQ(platform::fromCp1251(replyData(buf)), " 13.09.20 12:26:40 Уставка : 1 -> 2");
}

TEST_F(AccessLibraryTest, ModbusExceptionsMapToResultCodes) {
    startAndConnect(journalInstrument());
    const QList<std::pair<int, int>> cases = {{1, 4}, {2, 12}, {3, 5},  {4, 9},
                                              {5, 7}, {6, 8},  {11, 14}};
    for (const auto& [exception, code] : cases) {
        Fault f;
        f.kind = Fault::Kind::Exception;
        f.function = 65;
        f.value = exception;
        simulator->setFaults({f});
        uint8_t buf[256];
        recordRequest(buf, 1, 0);
        EXPECT_EQ(lib.AnyFunction(1, 65, 7, buf), code) << "exception " << exception;
    }
    simulator->clearFaults();
    // The instrument's own exceptions: a record or register that does not exist.
    uint8_t buf[256];
    recordRequest(buf, 1, 20);
    EXPECT_EQ(lib.AnyFunction(1, 65, 7, buf), 12);
    recordRequest(buf, 9, 0);
    EXPECT_EQ(lib.AnyFunction(1, 65, 7, buf), 12);
    EXPECT_EQ(lib.ReadInputRegister(1, 5000, 1, 18, buf), 12);
}

// The same faults on the serial line and on both kinds of network endpoint (Modbus TCP has no
// wire of its own to corrupt, and its late answers carry an old transaction id).
TEST_F(AccessLibraryTest, InjectedFaultsGiveTheirResultCodes) {
    using Framing = platform::NetworkEndpoint::Framing;
    struct Case {
        const char* spec;
        int code;
        int settleMs = 0;  // time for a late answer to arrive before the next request
        bool wire = false; // a fault of the serial wire
    };
    const Case cases[] = {
        {"noanswer function=65", 1},
        {"crc function=65", 2, 0, true},
        {"truncate function=65", 16, 0, true},
        {"truncate function=65 bytes=1", 16, 0, true},
        {"garbage function=65 bytes=7", 0, 0, true}, // noise before a good frame is skipped
        {"delay function=65 ms=60", 0},              // within the answer time-out
        {"delay function=65 ms=450", 1, 350},        // beyond it; the late answer is stale input
        {"exception function=65 code=6", 8},
    };
    for (const std::optional<Framing> network :
         {std::optional<Framing>(), std::optional(Framing::ModbusTcp),
          std::optional(Framing::RtuOverTcp)}) {
        startAndConnect(journalInstrument(), 115200, network);
        for (const Case& c : cases) {
            if (c.wire && network == Framing::ModbusTcp)
                continue;
            SCOPED_TRACE(
                QStringLiteral("%1 on %2").arg(c.spec, simulator->clientPath()).toStdString());
            simulator->setFaults({*sim::parseFault(c.spec)});
            uint8_t buf[256];
            recordRequest(buf, 1, 3);
            EXPECT_EQ(lib.AnyFunction(1, 65, 7, buf), c.code);
            if (c.code == 0) {
                EXPECT_EQ(replyData(buf), simulator->instrument().journal(1)->records[3]);
            }
            // The next exchange is clean: a late or broken answer is never taken for it.
            simulator->clearFaults();
            // The window handles its events between calls; the library's port must not let what
            // arrives meanwhile pass for the next answer.
            QElapsedTimer settle;
            settle.start();
            while (settle.elapsed() < c.settleMs)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            recordRequest(buf, 1, 4);
            ASSERT_EQ(lib.AnyFunction(1, 65, 7, buf), 0);
            EXPECT_EQ(replyData(buf), simulator->instrument().journal(1)->records[4]);
        }
    }
}

TEST_F(AccessLibraryTest, RetryRecoversACorruptedAnswer) {
    startAndConnect(journalInstrument());
    uint8_t buf[256];
    for (const char* spec :
         {"crc record=1:2 times=1", "truncate record=1:2 times=1", "noanswer record=1:2 times=1"}) {
        SCOPED_TRACE(spec);
        simulator->setFaults({*sim::parseFault(spec)});
        lib.Retries(0);
        recordRequest(buf, 1, 2);
        EXPECT_NE(lib.AnyFunction(1, 65, 7, buf), 0);

        simulator->setFaults({*sim::parseFault(spec)});
        lib.Retries(1);
        recordRequest(buf, 1, 2);
        const int before = simulator->requestCount();
        EXPECT_EQ(lib.AnyFunction(1, 65, 7, buf), 0);
        EXPECT_EQ(simulator->requestCount() - before, 2);
        EXPECT_EQ(replyData(buf), simulator->instrument().journal(1)->records[2]);
    }
    // An exception is an answer: it is not retried.
    simulator->setFaults({*sim::parseFault("exception code=4 record=1:2")});
    lib.Retries(3);
    const int before = simulator->requestCount();
    recordRequest(buf, 1, 2);
    EXPECT_EQ(lib.AnyFunction(1, 65, 7, buf), 9);
    EXPECT_EQ(simulator->requestCount() - before, 1);
}

TEST_F(AccessLibraryTest, NoAnswerTakesTheAnswerTimeoutTimesTheTries) {
    startAndConnect(journalInstrument());
    simulator->setFaults({*sim::parseFault("noanswer")});
    lib.SetTimeouts(100, 20);
    lib.Retries(2);
    uint8_t buf[252];
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(lib.ReadInputRegister(1, 0, 1, 18, buf), 1);
    const qint64 ms = t.elapsed();
    EXPECT_GE(ms, 300);
    EXPECT_LT(ms, 300 + 3 * 20 + 600);
    EXPECT_EQ(simulator->requestCount(), 3);
}

TEST_F(AccessLibraryTest, NameEchoAndWrite) {
    startAndConnect(journalInstrument());
    uint8_t name[256] = {};
    ASSERT_EQ(lib.GetDevName(1, name, 255), 0);
    EXPECT_EQ(platform::fromCp1251(QByteArray(reinterpret_cast<char*>(name + 1), name[0])),
              "Регулятор РТ-10");
    EXPECT_EQ(lib.GetDevName(1, name, 5), 16); // longer than the caller's buffer
    EXPECT_EQ(lib.Test(1), 0);
    ASSERT_EQ(lib.WriteRegister(1, 11, 0xBEEF), 0);
    uint8_t buf[252];
    ASSERT_EQ(lib.ReadHoldingRegister(1, 11, 1, 18, buf), 0);
    EXPECT_EQ(buf[0] | buf[1] << 8, 0xBEEF);
}

TEST_F(AccessLibraryTest, BadArgumentsAndClosedPort) {
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    uint8_t buf[256] = {};
    lib.Disconnect();
    EXPECT_EQ(lib.ReadInputRegister(1, 0, 1, 18, buf), 3);
    recordRequest(buf, 1, 0);
    EXPECT_EQ(lib.AnyFunction(1, 65, 7, buf), 3);
    qputenv("JOURNAL_PORTS", "COM201=/nonexistent/tty");
    EXPECT_EQ(lib.Connect(201, 19200, 0), 0);
    EXPECT_EQ(lib.Connect(202, 19200, 0), 0); // no such port at all

    startAndConnect(journalInstrument());
    EXPECT_EQ(lib.ReadInputRegister(0, 0, 1, 18, buf), 11);
    EXPECT_EQ(lib.ReadInputRegister(248, 0, 1, 18, buf), 11);
    EXPECT_EQ(lib.ReadInputRegister(1, 0, 0, 18, buf), 5);
    EXPECT_EQ(lib.ReadInputRegister(1, 0, 127, 18, buf), 5);
    EXPECT_EQ(lib.ReadInputRegister(1, 0, 1, 18, nullptr), 5);
    EXPECT_EQ(lib.AnyFunction(1, 100, 0, buf), 13); // no way to tell its answer's length
    EXPECT_EQ(lib.AnyFunction(1, 65, 300, buf), 5);
    // RS-485 on a port without the kernel mode still connects.
    EXPECT_EQ(lib.Connect(kCom, 115200, 1), 1);
    EXPECT_EQ(lib.ReadInputRegister(1, 0, 1, 18, buf), 0);
}

TEST_F(AccessLibraryTest, PortThatVanishesMidExchange) {
    startAndConnect(journalInstrument());
    simulator->setFaults({*sim::parseFault("delay ms=2500 record=1:5")});
    lib.SetTimeouts(3000, 20);
    lib.Retries(3);
    auto unplug = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        simulator->link()->hangUpClient();
    });
    uint8_t buf[256];
    recordRequest(buf, 1, 5);
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(lib.AnyFunction(1, 65, 7, buf), 3);
    EXPECT_LT(t.elapsed(), 2000); // at once, not after the answer time-out
    unplug.wait();
    // Every later call reports the closed port at once. (A new Connect is not tried: the freed
    // pseudo-terminal number may already belong to another test running in parallel.)
    t.restart();
    EXPECT_EQ(lib.ReadInputRegister(1, 0, 1, 18, buf), 3);
    EXPECT_EQ(lib.AnyFunction(1, 65, 7, buf), 3);
    EXPECT_LT(t.elapsed(), 100);
    EXPECT_EQ(lib.Disconnect(), 0);
}

// A hand-driven instrument on the far end of a pty link: each request gets the next scripted
// byte sequence.
TEST_F(AccessLibraryTest, OnlyTheAddressedAnswerIsTaken) {
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    sim::PtyLink link;
    ASSERT_TRUE(link.open());
    auto frame = [](const QByteArray& body) {
        const quint16 crc = ombrel::crc16(body);
        return body + char(crc & 0xFF) + char(crc >> 8);
    };
    QByteArray tooLong = QByteArray::fromHex("0141fc") + QByteArray(252, 'x');
    const QList<QByteArray> script = {
        // Another server's answer, then an answer for another function, then ours.
        frame(QByteArray::fromHex("0204020009")) + frame(QByteArray::fromHex("0103020008")) +
            frame(QByteArray::fromHex("0104020007")),
        // Another server's exception, then ours.
        frame(QByteArray::fromHex("028402")) + frame(QByteArray::fromHex("01040200ff")),
        // A record answer longer than any Modbus PDU.
        frame(tooLong),
        // A register answer whose byte count does not match the request.
        frame(QByteArray::fromHex("010404000100 02")),
    };
    std::thread instrument([&] {
        const int fd = ::open(link.serverPath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        for (const QByteArray& answer : script) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 3000) <= 0)
                break;
            char buf[300];
            if (::read(fd, buf, sizeof buf) <= 0 ||
                ::write(fd, answer.constData(), size_t(answer.size())) != answer.size())
                break;
        }
        ::close(fd);
    });
    qputenv("JOURNAL_PORTS", QStringLiteral("COM%1=%2").arg(kCom).arg(link.clientPath()).toUtf8());
    ASSERT_EQ(lib.Connect(kCom, 115200, 0), 1);
    lib.Retries(0);
    lib.SetTimeouts(500, 30);
    uint8_t buf[256];
    EXPECT_EQ(lib.ReadInputRegister(1, 0, 1, 18, buf), 0);
    EXPECT_EQ(buf[0], 7);
    EXPECT_EQ(lib.ReadInputRegister(1, 0, 1, 18, buf), 0);
    EXPECT_EQ(buf[0], 0xFF);
    recordRequest(buf, 1, 0);
    EXPECT_EQ(lib.AnyFunction(1, 65, 7, buf), 16);
    EXPECT_EQ(lib.ReadInputRegister(1, 0, 1, 18, buf), 16);
    instrument.join();
}

// Why a port cannot be opened: the library's text for each reason, and none after success.
TEST_F(AccessLibraryTest, RefusedConnectSaysWhy) {
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    using TLastErrorText = int32_t (*)(char*, int32_t);
    const auto lastErrorText = reinterpret_cast<TLastErrorText>(dlsym(lib.handle, "LastErrorText"));
    ASSERT_NE(lastErrorText, nullptr);
    const auto reason = [&] {
        char buf[512] = {};
        const int32_t n = lastErrorText(buf, sizeof buf);
        EXPECT_EQ(n, int32_t(std::strlen(buf)));
        return QString::fromUtf8(buf);
    };

    simulator = std::make_unique<sim::Simulator>(journalInstrument());
    QString error;
    ASSERT_TRUE(simulator->start(&error)) << error.toStdString();
    QTcpServer probe; // a loopback port that nobody listens on once the probe has closed
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const quint16 refused = probe.serverPort();
    probe.close();
    qputenv("JOURNAL_PORTS",
            QStringLiteral("COM%1=%2;COM201=/dev/journal-no-such-port;COM202=tcp://127.0.0.1:%3")
                .arg(kCom)
                .arg(simulator->clientPath())
                .arg(refused)
                .toUtf8());

    struct Case {
        int port;
        int speed;
        const char* expected;
    };
    const Case cases[] = {
        {0, 9600, "Недопустимый номер порта 0."},
        {kCom, 0, "Недопустимая скорость 0."},
        {254, 9600, "Порта COM254 нет"},
        {201, 9600, "Устройство /dev/journal-no-such-port не найдено (нет такого устройства)."},
        {202, 9600, "Соединение с tcp://127.0.0.1:"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lib.Connect(c.port, c.speed, 0), 0) << c.port;
        EXPECT_TRUE(reason().startsWith(QString::fromUtf8(c.expected))) << reason().toStdString();
    }

    // Another holder of the port (here a second connection of this process) makes it busy.
    {
        QSerialPort holder(simulator->clientPath());
        ASSERT_TRUE(holder.open(QIODevice::ReadWrite)) << holder.errorString().toStdString();
        EXPECT_EQ(lib.Connect(kCom, 9600, 0), 0);
        EXPECT_EQ(reason(),
                  QStringLiteral("Порт %1 занят другой программой.").arg(simulator->clientPath()));
    }
    ASSERT_EQ(lib.Connect(kCom, 9600, 0), 1);
    EXPECT_EQ(reason(), QString());

    // A shortened copy never cuts a character in two: "П" takes two bytes.
    lib.Connect(0, 9600, 0);
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_GT(lastErrorText(small, sizeof small), 4);
    EXPECT_STREQ(small, "Н");
}

// Two readers through two names of one device (a symlink): the second is refused with the
// holder named, root included (whom the kernel's exclusive mode and Qt's per-name lock file let
// through).
TEST_F(AccessLibraryTest, SecondReaderThroughAnotherNameIsRefused) {
    startAndConnect(journalInstrument());
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttyLINK"));
    ASSERT_TRUE(QFile::link(simulator->clientPath(), link));
    ombrel::RtuAndTcpMaster second;
    EXPECT_FALSE(second.open(link, 115200, false));
    EXPECT_EQ(second.openError(), QStringLiteral("Порт %1 занят: это устройство уже открыто "
                                                 "другим чтением журнала (процесс %2, %3).")
                                      .arg(link)
                                      .arg(::getpid())
                                      .arg(simulator->clientPath()));
    lib.Disconnect();
    ASSERT_TRUE(second.open(link, 115200, false)) << second.openError().toStdString();
    EXPECT_EQ(lib.Connect(kCom, 115200, 0), 0);
    second.close();
    EXPECT_EQ(lib.Connect(kCom, 115200, 0), 1);
}

// Reasons told apart without opening the device again, and their texts.
TEST(OpenFailure, ClassifiesAndExplains) {
    using ombrel::OpenFailure;
    EXPECT_EQ(ombrel::classifyOpenFailure("/dev/journal-no-such-port", 0), OpenFailure::Missing);
    EXPECT_EQ(ombrel::classifyOpenFailure("/dev/null", QSerialPort::PermissionError),
              OpenFailure::Busy);
    EXPECT_EQ(ombrel::classifyOpenFailure("/dev/null", QSerialPort::UnknownError),
              OpenFailure::Other);
    EXPECT_EQ(ombrel::openFailureText(OpenFailure::Other, "/dev/ttyS0", "Input/output error"),
              QStringLiteral("/dev/ttyS0: Input/output error"));
}

// The dialout hint only where joining dialout helps; otherwise who owns the device.
TEST(OpenFailure, NoAccessTextNamesTheDevicesGroup) {
    const QString hint = QStringLiteral("sudo usermod -aG dialout");
    const struct {
        const char* owner;
        const char* group;
        const char* expected; // a part of the text
        bool dialoutHint;
    } cases[] = {
        {"root", "dialout", "группу dialout", true},
        {"root", "uucp", "владелец устройства — root, группа — uucp.", false},
        {"alice", "alice", "владелец устройства — alice, группа — alice.", false},
        {"", "", "владелец устройства — 1001, группа — 1002.", false}, // names unknown
    };
    for (const auto& c : cases) {
        const QString text = ombrel::noAccessText("/dev/ttyUSB0", QString::fromUtf8(c.owner),
                                                  QString::fromUtf8(c.group), 1001, 1002);
        EXPECT_TRUE(text.startsWith(QStringLiteral("Нет доступа к /dev/ttyUSB0")))
            << qPrintable(text);
        EXPECT_TRUE(text.contains(QString::fromUtf8(c.expected))) << qPrintable(text);
        EXPECT_EQ(text.contains(hint), c.dialoutHint) << qPrintable(text);
    }
    // The owner and group are read from the device itself.
    EXPECT_TRUE(ombrel::openFailureText(ombrel::OpenFailure::NoAccess, "/dev/null", {})
                    .endsWith(QStringLiteral("владелец устройства — root, группа — root.")));
}

// A user outside the device's group (root may open any device: the check runs as "nobody").
TEST(OpenFailure, DeviceTheUserMayNotOpen) {
    using ombrel::OpenFailure;
    QTemporaryDir dir;
    ASSERT_TRUE(ReadOnlyForOthers(dir.path()));
    const QString locked = dir.filePath("tty");
    QFile f(locked);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.setPermissions(QFile::ReadOwner);
    EXPECT_EQ(RunUnprivileged([&] {
                  return int(ombrel::classifyOpenFailure(locked, QSerialPort::PermissionError));
              }),
              int(OpenFailure::NoAccess));
}

namespace {

// An event of the trace in short: R<try>, S (silence), A/L[flags]@address+stray bytes, with ~0
// on a link without a speed.
QString eventText(const OmbrelTraceEvent* e) {
    if (e->kind == OMBREL_TRACE_REQUEST)
        return QStringLiteral("R%1").arg(e->attempt);
    if (e->kind == OMBREL_TRACE_SILENCE)
        return QStringLiteral("S");
    QString flags;
    const char letters[] = "CKXET";
    for (int bit = 0; bit < 5; ++bit)
        if (e->flags & (1 << bit))
            flags += QLatin1Char(letters[bit]);
    QString text = QStringLiteral("%1[%2]@%3")
                       .arg(QLatin1Char(e->kind == OMBREL_TRACE_ANSWER ? 'A' : 'L'))
                       .arg(flags)
                       .arg(e->address);
    if (e->offset > 0)
        text += QStringLiteral("+%1").arg(e->offset);
    if (e->exception)
        text += QStringLiteral("!%1").arg(e->exception);
    return text;
}

void recordEvent(const OmbrelTraceEvent* e, void* user) {
    *static_cast<QStringList*>(user) << eventText(e) + (e->baud == 0 ? "~0" : "");
}

} // namespace

TEST_F(AccessLibraryTest, TraceShowsEveryTryAndWhatCameOfIt) {
    startAndConnect(journalInstrument());
    ASSERT_NE(lib.SetTraceObserver, nullptr);
    ASSERT_NE(lib.SetListenOut, nullptr);
    using Framing = platform::NetworkEndpoint::Framing;
    const struct {
        const char* fault;
        const char* trace;
        std::optional<Framing> network = {};
    } cases[] = {
        {"", "R0 A[CKT]@1"},
        {"crc times=1", "R0 A[C]@1 R1 A[CKT]@1"},
        {"truncate times=1", "R0 A[]@1 R1 A[CKT]@1"},
        {"noanswer times=1", "R0 S R1 A[CKT]@1"},
        {"garbage bytes=3 times=1", "R0 A[CKT]@1+3"},
        {"exception code=2", "R0 A[CKXT]@1!2"},
        {"address bytes=9", "R0 A[CK]@9 R1 A[CK]@9"},
        {"exception code=2", "R0~0 A[CKXT]@1!2~0", Framing::ModbusTcp},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        if (c.network)
            startAndConnect(journalInstrument(), 115200, c.network);
        lib.Retries(1);
        simulator->clearFaults();
        if (*c.fault)
            simulator->addFault(*sim::parseFault(c.fault));
        QStringList events;
        lib.SetTraceObserver(recordEvent, &events);
        uint8_t buf[252];
        lib.ReadInputRegister(1, 0, 1, 18, buf);
        lib.SetTraceObserver(nullptr, nullptr);
        EXPECT_EQ(events.join(u' ').toStdString(), c.trace);
    }
    startAndConnect(journalInstrument());
    // A link that echoes the request: the echo is told apart, the answer after it is taken.
    simulator->clearFaults();
    simulator->link()->setEcho(true);
    QStringList echoed;
    lib.SetTraceObserver(recordEvent, &echoed);
    uint8_t answer[252];
    EXPECT_EQ(lib.ReadInputRegister(1, 0, 1, 18, answer), 0);
    lib.SetTraceObserver(nullptr, nullptr);
    simulator->link()->setEcho(false);
    EXPECT_EQ(echoed.join(u' ').toStdString(), "R0 A[CKET]@1");

    // Without an observer, nothing is reported.
    QStringList events;
    lib.SetTraceObserver(recordEvent, &events);
    lib.SetTraceObserver(nullptr, nullptr);
    uint8_t buf[252];
    EXPECT_EQ(lib.ReadInputRegister(1, 0, 1, 18, buf), 0);
    EXPECT_TRUE(events.isEmpty());
}

namespace {

struct RecordsSeen {
    std::vector<int> items, results;
    std::vector<QByteArray> replies;
    int stopAfter = -1;
    std::vector<OmbrelTraceEvent> events; // their bytes are not kept
};

OmbrelRecordRun recordRun(int window, int32_t size = sizeof(OmbrelRecordRun)) {
    OmbrelRecordRun run{};
    run.size = size;
    run.window = window;
    return run;
}

int32_t seeRecord(int32_t item, int32_t result, const uint8_t* reply, void* user) {
    auto* seen = static_cast<RecordsSeen*>(user);
    seen->items.push_back(item);
    seen->results.push_back(result);
    seen->replies.push_back(QByteArray(reinterpret_cast<const char*>(reply), 256));
    return int(seen->items.size()) != seen->stopAfter;
}

} // namespace

// ReadRecords: bad arguments send nothing; behind a queueing gateway every record is handed on in
// order with the buffer AnyFunction leaves for it, the sink can stop the run, and the trace names
// each event's record and the window.
TEST_F(AccessLibraryTest, ReadRecordsHandsEachRecordOnInOrder) {
    ASSERT_NE(lib.ReadRecords, nullptr);
    simulator = std::make_unique<sim::Simulator>(journalInstrument()); // 20 records
    simulator->setGateway(sim::GatewayModel::Queue);
    simulator->setLatency(20);
    QString error;
    ASSERT_TRUE(simulator->startNetwork(platform::NetworkEndpoint::Framing::ModbusTcp,
                                        QHostAddress::LocalHost, 0, &error))
        << error.toStdString();
    qputenv("JOURNAL_PORTS",
            QStringLiteral("COM%1=%2").arg(kCom).arg(simulator->clientPath()).toUtf8());
    ASSERT_EQ(lib.Connect(kCom, 19200, 0), 1);
    lib.Retries(1);
    lib.SetTimeouts(500, 20);
    constexpr int kCount = 22; // the last two past the journal: exception 2
    std::vector<uint8_t> requests;
    for (int i = 0; i < kCount; ++i)
        for (const uint8_t b : {0, 1, 0, 1, 0, 0, i})
            requests.push_back(b);

    const OmbrelRecordRun good = recordRun(OMBREL_WINDOW_AUTO);
    const struct {
        int address, count;
        OmbrelRecordRun run;
        bool sink;
        int rc;
    } bad[] = {
        {0, kCount, good, true, 11},         {1, -1, good, true, 5},
        {1, 65537, good, true, 5},           {1, kCount, recordRun(OMBREL_WINDOW_AUTO, 8), true, 5},
        {1, kCount, recordRun(17), true, 5}, {1, kCount, good, false, 5},
    };
    for (auto c : bad) {
        RecordsSeen seen;
        EXPECT_EQ(lib.ReadRecords(c.address, requests.data(), c.count, &c.run,
                                  c.sink ? seeRecord : nullptr, &seen),
                  c.rc);
        EXPECT_TRUE(seen.items.empty());
    }
    EXPECT_EQ(simulator->requestCount(), 0);

    RecordsSeen seen;
    lib.SetTraceObserver([](const OmbrelTraceEvent* e,
                            void* user) { static_cast<RecordsSeen*>(user)->events.push_back(*e); },
                         &seen);
    OmbrelRecordRun run = good;
    ASSERT_EQ(lib.ReadRecords(1, requests.data(), kCount, &run, seeRecord, &seen), 0);
    lib.SetTraceObserver(nullptr, nullptr);
    EXPECT_EQ(run.delivered, kCount);
    EXPECT_EQ(run.fallback, OMBREL_FALLBACK_NONE);
    EXPECT_GT(run.windowReached, 1);
    ASSERT_EQ(int(seen.items.size()), kCount);
    for (int i = 0; i < kCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen.items[i], i);
        uint8_t buf[256];
        recordRequest(buf, 1, i);
        EXPECT_EQ(seen.results[i], lib.AnyFunction(1, 65, 7, buf));
        if (seen.results[i] == 0) {
            EXPECT_EQ(seen.replies[i], QByteArray(reinterpret_cast<const char*>(buf), 256));
        }
    }
    EXPECT_EQ(seen.results[kCount - 1], 12);
    int requested = 0, widest = 0;
    for (const OmbrelTraceEvent& e : seen.events) {
        EXPECT_EQ(e.size, int32_t(sizeof(OmbrelTraceEvent)));
        if (e.kind == OMBREL_TRACE_REQUEST) {
            EXPECT_EQ(e.item, requested++);
            EXPECT_LE(e.inFlight, e.window);
            widest = std::max(widest, e.inFlight);
        }
    }
    EXPECT_EQ(requested, kCount);
    EXPECT_GT(widest, 1);

    // The sink stops the run: nothing more is handed on.
    RecordsSeen stopped;
    stopped.stopAfter = 5;
    run = good;
    ASSERT_EQ(lib.ReadRecords(1, requests.data(), kCount, &run, seeRecord, &stopped), 0);
    EXPECT_EQ(run.delivered, 5);
    EXPECT_EQ(stopped.items.size(), 5u);
}
