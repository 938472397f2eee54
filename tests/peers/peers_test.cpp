// SPDX-License-Identifier: MIT
// Independent Modbus peers, so that neither our master nor our simulator is only checked
// against the other: mbpoll (a C master) reads the journal-sim program, and a pymodbus server
// answers the access library.
#include "../accesslib/accesslibrary_fixture.h"
#include "../latecases.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

// A child process that prints a device path on its first output line.
struct PeerProcess {
    QProcess process;

    QString start(const QString& program, const QStringList& args) {
        process.setProgram(program);
        process.setArguments(args);
        process.start();
        if (!process.waitForStarted(5000))
            return {};
        while (!process.canReadLine() && process.waitForReadyRead(5000)) {
        }
        return QString::fromLocal8Bit(process.readLine()).trimmed();
    }

    ~PeerProcess() {
        process.closeWriteChannel();
        process.terminate();
        if (!process.waitForFinished(3000)) {
            process.kill();
            process.waitForFinished(3000);
        }
    }
};

bool HavePymodbus() {
    QProcess probe;
    probe.start(QStringLiteral("/usr/bin/python3"), {"-c", "import pymodbus"});
    return probe.waitForFinished(10000) && probe.exitCode() == 0;
}

// Starts the pymodbus instrument with a content (JSON, see pymodbus_server.py); its device path.
QString StartPymodbus(PeerProcess& server, const QString& content) {
    return server.start(QStringLiteral("/usr/bin/python3"),
                        {JOURNAL_SOURCE_DIR "/tests/peers/pymodbus_server.py", content});
}

} // namespace

TEST(Peers, MbpollReadsTheSimulatorsCountRegisters) {
    const QString mbpoll = QStandardPaths::findExecutable(QStringLiteral("mbpoll"));
    if (mbpoll.isEmpty())
        GTEST_SKIP() << "mbpoll is not installed (scripts/setup installs it)";
    PeerProcess sim;
    const QString path =
        sim.start(QStringLiteral(JOURNAL_BIN_DIR "/journal-sim"),
                  {"--content", JOURNAL_SOURCE_DIR "/sim/content/rt10.sim", "--baud", "19200"});
    ASSERT_TRUE(path.startsWith("/dev/")) << path.toStdString();

    QProcess poll;
    // Input registers 300001..300003 of rt10.sim: record count, ring position, overflows.
    poll.start(mbpoll, {"-m", "rtu", "-a", "1", "-b", "19200", "-P", "none", "-t", "3", "-r", "1",
                        "-c", "3", "-1", "-o", "1", path});
    ASSERT_TRUE(poll.waitForFinished(10000));
    const QString out = QString::fromLocal8Bit(poll.readAllStandardOutput());
    ASSERT_EQ(poll.exitCode(), 0) << out.toStdString();
    QList<int> values;
    static const QRegularExpression line(QStringLiteral("^\\[(\\d+)\\]:\\s+(-?\\d+)"),
                                         QRegularExpression::MultilineOption);
    for (auto it = line.globalMatch(out); it.hasNext();)
        values.append(it.next().captured(2).toInt());
    EXPECT_EQ(values, QList<int>({14, 200, 1})) << out.toStdString();

    // A register past the table: mbpoll reports the instrument's exception.
    poll.start(mbpoll, {"-m", "rtu", "-a", "1", "-b", "19200", "-P", "none", "-t", "3", "-r",
                        "5000", "-c", "1", "-1", "-o", "1", path});
    ASSERT_TRUE(poll.waitForFinished(10000));
    EXPECT_NE(poll.exitCode(), 0);
}

// mbpoll's own Modbus TCP master against the simulator's --tcp endpoint, with a network delay
// of 300 ms each way: a round trip takes twice that.
TEST(Peers, MbpollReadsTheSimulatorOverModbusTcp) {
    const QString mbpoll = QStandardPaths::findExecutable(QStringLiteral("mbpoll"));
    if (mbpoll.isEmpty())
        GTEST_SKIP() << "mbpoll is not installed (scripts/setup installs it)";
    PeerProcess sim;
    const QString endpoint = sim.start(QStringLiteral(JOURNAL_BIN_DIR "/journal-sim"),
                                       {"--content", JOURNAL_SOURCE_DIR "/sim/content/rt10.sim",
                                        "--tcp", "0", "--latency", "300"});
    static const QRegularExpression form(QStringLiteral("^tcp://127\\.0\\.0\\.1:(\\d+)$"));
    const auto m = form.match(endpoint);
    ASSERT_TRUE(m.hasMatch()) << endpoint.toStdString();
    QProcess poll;
    QElapsedTimer timer;
    timer.start();
    poll.start(mbpoll, {"-m", "tcp", "-a", "1", "-p", m.captured(1), "-t", "3", "-r", "1", "-c",
                        "3", "-1", "-o", "2", "127.0.0.1"});
    ASSERT_TRUE(poll.waitForFinished(10000));
    const QString out = QString::fromLocal8Bit(poll.readAllStandardOutput());
    ASSERT_EQ(poll.exitCode(), 0) << out.toStdString();
    EXPECT_GE(timer.elapsed(), 600);
    EXPECT_TRUE(out.contains(QRegularExpression(QStringLiteral("\\[1\\]:\\s+14\\s"))))
        << out.toStdString();
    EXPECT_TRUE(out.contains(QRegularExpression(QStringLiteral("\\[2\\]:\\s+200\\s"))))
        << out.toStdString();
}

// pymodbus as the instrument, on a serial line and as a Modbus TCP server.
TEST_F(AccessLibraryTest, PymodbusServerAnswersTheLibrary) {
    if (!HavePymodbus())
        GTEST_SKIP() << "python3-pymodbus is not installed (scripts/setup installs it)";
    ASSERT_NE(lib.handle, nullptr) << dlerror();

    QByteArray big;
    for (int i = 0; i < 251; ++i)
        big.append(char(255 - i));
    const QByteArray plain = QByteArray::fromHex("5f5e10000001 3fc00000");
    for (const bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "Modbus TCP" : "RTU");
        const QString content =
            QStringLiteral(R"({"address": 7, "tcp": %3, "input": {"0": 1234, "4": 65535},
                          "holding": {"9": 120, "10": 43981, "11": 258},
                          "journals": {"1": ["", "%1", "%2"]}})")
                .arg(QString::fromLatin1(plain.toHex()), QString::fromLatin1(big.toHex()),
                     tcp ? "true" : "false");
        PeerProcess server;
        const QString path = StartPymodbus(server, content);
        ASSERT_TRUE(path.startsWith(tcp ? "tcp://" : "/dev/")) << path.toStdString();
        qputenv("JOURNAL_PORTS", QStringLiteral("COM%1=%2").arg(kCom).arg(path).toUtf8());
        ASSERT_EQ(lib.Connect(kCom, 19200, 0), 1);
        lib.Retries(0);
        lib.SetTimeouts(1000, 50);

        uint8_t buf[256];
        ASSERT_EQ(lib.ReadInputRegister(7, 0, 1, 18, buf), 0);
        EXPECT_EQ(buf[0] | buf[1] << 8, 1234);
        ASSERT_EQ(lib.ReadInputRegister(7, 4, 1, 18, buf), 0);
        EXPECT_EQ(buf[0] | buf[1] << 8, 65535);
        ASSERT_EQ(lib.ReadHoldingRegister(7, 9, 1, 18, buf), 0);
        EXPECT_EQ(buf[0] | buf[1] << 8, 120);
        ASSERT_EQ(lib.ReadHoldingRegister(7, 10, 1, 19, buf), 0);
        EXPECT_EQ(QByteArray(reinterpret_cast<char*>(buf), 4), QByteArray::fromHex("0201cdab"));

        const QList<QByteArray> records = {QByteArray(), plain, big};
        for (int i = 0; i < records.size(); ++i) {
            SCOPED_TRACE(i);
            recordRequest(buf, 1, i);
            ASSERT_EQ(lib.AnyFunction(7, 65, 7, buf), 0);
            EXPECT_EQ(buf[0], 0x41);
            EXPECT_EQ(QByteArray(reinterpret_cast<char*>(buf + 2), buf[1]), records[i]);
            EXPECT_EQ(std::count(buf + 2 + records[i].size(), buf + 256, 0),
                      256 - 2 - records[i].size());
        }
        recordRequest(buf, 1, 3);
        EXPECT_EQ(lib.AnyFunction(7, 65, 7, buf), 12); // exception 2 from pymodbus
        // Another address: pymodbus stays silent.
        EXPECT_EQ(lib.ReadInputRegister(8, 0, 1, 18, buf), 1);
        lib.Disconnect();
    }
}

// The pymodbus instrument answering after the answer time, on one record or on every record:
// each record the library returns is that record's, whatever the retries; the late answers cost
// time, never a wrong record.
TEST_F(AccessLibraryTest, LatePymodbusAnswersNeverBecomeAnotherRecord) {
    if (!HavePymodbus())
        GTEST_SKIP() << "python3-pymodbus is not installed (scripts/setup installs it)";
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    constexpr int kRecords = 5;
    QStringList hex;
    QList<QByteArray> records;
    for (int i = 0; i < kRecords; ++i) {
        records << QByteArray::fromHex("5f5e1000") + QByteArray(1, char(i)) + QByteArray(5, 'x');
        hex << QString::fromLatin1(records.last().toHex());
    }
    // Record 1 or every record late.
    for (const LateCase& c : kLateCases) {
        SCOPED_TRACE(LateTrace(c));
        PeerProcess server;
        const QString path = StartPymodbus(
            server, QStringLiteral(R"({"address": 3, "journals": {"1": ["%1"]},
                                       "late_ms": %3, "late_records": %2})")
                        .arg(hex.join(QStringLiteral("\", \"")),
                             c.everyRecord ? QStringLiteral("null") : QStringLiteral("[1]"))
                        .arg(kLateMs));
        ASSERT_TRUE(path.startsWith("/dev/")) << path.toStdString();
        qputenv("JOURNAL_PORTS", QStringLiteral("COM%1=%2").arg(kCom).arg(path).toUtf8());
        ASSERT_EQ(lib.Connect(kCom, 19200, 0), 1);
        lib.SetTimeouts(kLateAnswerTimeMs, 50);
        lib.Retries(c.retries);
        int errors = 0;
        for (int i = 0; i < kRecords; ++i) {
            uint8_t buf[256];
            recordRequest(buf, 1, i);
            if (lib.AnyFunction(3, 65, 7, buf) != 0) {
                ++errors;
            } else {
                EXPECT_EQ(QByteArray(reinterpret_cast<char*>(buf + 2), buf[1]), records[i])
                    << "record " << i;
            }
        }
        EXPECT_EQ(errors, LateErrors(c, kRecords));
        lib.Disconnect();
    }
}
