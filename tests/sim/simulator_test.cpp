// SPDX-License-Identifier: MIT
// The simulator seen from a plain file descriptor: hand-made frames in, exact bytes out.
#include "sim/simulator.h"

#include <QElapsedTimer>
#include <QProcess>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

QByteArray frame(const char* hexBody) {
    QByteArray b = QByteArray::fromHex(hexBody);
    const quint16 crc = sim::modbusCrc(b);
    return b + char(crc & 0xFF) + char(crc >> 8);
}

class RawClient {
public:
    explicit RawClient(const QString& path) {
        fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        if (fd >= 0) {
            termios t{};
            ::tcgetattr(fd, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
    }
    ~RawClient() {
        if (fd >= 0)
            ::close(fd);
    }
    // Sends a request and collects what comes back until 150 ms of silence.
    QByteArray exchange(const QByteArray& request) {
        if (::write(fd, request.constData(), size_t(request.size())) != request.size())
            return {};
        QByteArray got;
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, 150) > 0) {
            char buf[512];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, n);
        }
        return got;
    }
    int fd = -1;
};

sim::Instrument instrument() {
    sim::Instrument inst;
    inst.address = 3;
    inst.setRegister(300001, 14);
    inst.addJournal(1, sim::Layout::Plain).records = {QByteArray::fromHex("0102")};
    return inst;
}

} // namespace

TEST(Simulator, AnswersAndWireFaults) {
    sim::Simulator s(instrument());
    QString error;
    ASSERT_TRUE(s.start(&error)) << error.toStdString();
    RawClient client(s.clientPath());
    ASSERT_GE(client.fd, 0);

    const QByteArray readReg = frame("030400000001");
    const QByteArray regAnswer = frame("030402000e");
    const QByteArray readRec = frame("03410001000100 0000");
    const QByteArray recAnswer = frame("0341020102");
    struct Case {
        const char* fault; // empty: none
        QByteArray request;
        QByteArray expected; // empty: no answer
    };
    const Case cases[] = {
        {"", readReg, regAnswer},
        {"", readRec, recAnswer},
        {"", frame("03410001000100 0001"), frame("03c102")}, // no record 1
        {"", frame("040400000001"), {}},                     // not our address
        {"exception code=6 record=1:0", readRec, frame("03c106")},
        {"noanswer", readReg, {}},
        {"truncate bytes=2", readReg, regAnswer.left(5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        s.clearFaults();
        if (*c.fault)
            s.addFault(*sim::parseFault(c.fault));
        EXPECT_EQ(client.exchange(c.request).toHex(), c.expected.toHex());
    }
    s.setFaults({*sim::parseFault("garbage bytes=4")});
    const QByteArray noisy = client.exchange(readReg);
    EXPECT_EQ(noisy.size(), 4 + regAnswer.size());
    EXPECT_TRUE(noisy.endsWith(regAnswer));
    s.setFaults({*sim::parseFault("crc")});
    const QByteArray bad = client.exchange(readReg);
    EXPECT_EQ(bad.left(5), regAnswer.left(5));
    EXPECT_EQ(bad.size(), regAnswer.size());
    EXPECT_NE(bad, regAnswer);
    EXPECT_EQ(s.requestCount(), 8); // every request to address 3
}

TEST(Simulator, PacingKeepsTheWireTime) {
    sim::Simulator s(instrument());
    s.setPacing(9600);
    ASSERT_TRUE(s.start());
    RawClient client(s.clientPath());
    QElapsedTimer t;
    t.start();
    const QByteArray got = client.exchange(frame("030400000001"));
    // 8 request bytes and 7 answer bytes at 10 bits a byte, and the 3.5-character silence.
    const double floorMs = 15 * 10 * 1000.0 / 9600 + 3.5 * 10 * 1000.0 / 9600;
    EXPECT_GE(double(t.elapsed() - 150), floorMs - 1);
    EXPECT_EQ(got.toHex(), frame("030402000e").toHex());
}

TEST(Simulator, ProgramPrintsThePortsLine) {
    QProcess p;
    p.start(
        QStringLiteral(JOURNAL_BIN_DIR "/journal-sim"),
        {"--synthetic", "5", "--layout", "tdPlain3", "--count-register", "400001", "--com", "9"});
    ASSERT_TRUE(p.waitForStarted(5000));
    QByteArray out;
    while (out.count('\n') < 2 && p.waitForReadyRead(5000))
        out += p.readAllStandardOutput();
    const QList<QByteArray> lines = out.split('\n');
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith("/dev/pts/"));
    EXPECT_EQ(lines[1], "JOURNAL_PORTS=COM9=" + lines[0]);
    {
        RawClient client(QString::fromLocal8Bit(lines[0]));
        EXPECT_EQ(client.exchange(frame("010300000001")).toHex(), frame("01030200 05").toHex());
    }
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 0);

    const QStringList wrong[] = {{"--fault", "explode"},
                                 {"--address", "1-3", "--fault", "noanswer unit=4"},
                                 {"--address", "2,2"},
                                 {"--address", "1-3", "--tcp", "0"}}; // a site needs a gateway
    for (const QStringList& args : wrong) {
        SCOPED_TRACE(args.join(' ').toStdString());
        p.start(QStringLiteral(JOURNAL_BIN_DIR "/journal-sim"), args);
        ASSERT_TRUE(p.waitForFinished(5000));
        EXPECT_EQ(p.exitCode(), 2);
    }
}

TEST(Simulator, ServesAGivenDevice) {
    // The server end of a bare link stands in for a serial device wired to the master.
    sim::PtyLink cable;
    ASSERT_TRUE(cable.open());
    sim::Simulator s(instrument());
    QString error;
    ASSERT_TRUE(s.startOnDevice(cable.serverPath(), 19200, &error)) << error.toStdString();
    EXPECT_EQ(s.clientPath(), cable.serverPath());
    RawClient client(cable.clientPath());
    EXPECT_EQ(client.exchange(frame("030400000001")).toHex(), frame("030402000e").toHex());
    s.stop();
    EXPECT_FALSE(s.startOnDevice("/nonexistent/tty", 19200, &error));
    EXPECT_FALSE(error.isEmpty());
}

TEST(Simulator, SiteAnswersEachAddressOnOneLine) {
    // Two instruments on one paced bus, each with its registers and its fault plan.
    sim::Instrument other = instrument();
    other.address = 5;
    other.setRegister(300001, 27);
    sim::Simulator s(QList<sim::Instrument>{instrument(), other});
    s.setPacing(19200);
    QString error;
    ASSERT_TRUE(s.start(&error)) << error.toStdString();
    RawClient client(s.clientPath());
    ASSERT_GE(client.fd, 0);
    struct Case {
        int faultAt; // 0: no fault
        const char* request;
        QByteArray expected; // empty: no answer
    };
    const Case cases[] = {
        {0, "030400000001", frame("030402000e")},
        {0, "050400000001", frame("050402001b")},
        {0, "040400000001", {}}, // nobody at 4
        {5, "050400000001", {}},
        {5, "030400000001", frame("030402000e")}, // the fault stays with its address
        {3, "050400000001", frame("050402001b")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        s.clearFaults();
        if (c.faultAt)
            s.setFaults(c.faultAt, {*sim::parseFault("noanswer")});
        EXPECT_EQ(client.exchange(frame(c.request)).toHex(), c.expected.toHex());
    }
    EXPECT_TRUE(s.updateInstrument(5, [](sim::Instrument& i) { i.setRegister(300001, 28); }));
    EXPECT_FALSE(s.updateInstrument(9, [](sim::Instrument&) {}));
    s.clearFaults();
    EXPECT_EQ(client.exchange(frame("050400000001")).toHex(), frame("050402001c").toHex());
}
