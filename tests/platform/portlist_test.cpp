// SPDX-License-Identifier: MIT
#include "platform/portlist.h"
#include "platform/portname.h"

#include <QFile>
#include <QMap>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// The one COMn rule: decimal digits only, 1 to 255.
TEST(PortList, ComPortNumber) {
    const struct {
        const char* name;
        int number;
    } cases[] = {{"COM1", 1},   {"com7", 7},   {"COM255", 255}, {"COM01", 1},         {"COM0", 0},
                 {"COM256", 0}, {"COM300", 0}, {"COM", 0},      {"LPT1", 0},          {"COMx", 0},
                 {"COM$A", 0},  {"COM0xA", 0}, {"COM1 ", 0},    {" COM1", 0},         {"COM 1", 0},
                 {"COM+1", 0},  {"COM-1", 0},  {"", 0},         {"COM99999999999", 0}};
    for (const auto& c : cases)
        EXPECT_EQ(platform::comPortNumber(QString::fromLatin1(c.name)), c.number) << c.name;
    EXPECT_EQ(platform::comPortName(42), QStringLiteral("COM42"));
}

TEST(PortList, ParsesMappingsAndSkipsBrokenItems) {
    const auto m = platform::parsePortMappings(
        u"COM5=/dev/pts/3; COM7 = /dev/serial/by-id/usb-x ;junk;COM0=/dev/x;COM5=/dev/pts/9;=;");
    ASSERT_EQ(m.size(), 2);
    EXPECT_EQ(m[0].number, 7);
    EXPECT_EQ(m[0].devicePath, QStringLiteral("/dev/serial/by-id/usb-x"));
    EXPECT_EQ(m[1].number, 5); // the later mapping of COM5 wins
    EXPECT_EQ(m[1].devicePath, QStringLiteral("/dev/pts/9"));
}

TEST(PortList, SystemNamingRule) {
    EXPECT_EQ(platform::systemPortNumber("/dev/ttyS0", "/dev/ttyS0", {}), 1);
    EXPECT_EQ(platform::systemPortNumber("/dev/ttyS9", "/dev/ttyS9", {}), 10);
    EXPECT_EQ(platform::systemPortNumber("/dev/ttyS99", "/dev/ttyS99", {}), 0);
    // USB adapters: stable number from the identity, 100..255, next free on collision.
    const int a = platform::systemPortNumber("/dev/ttyUSB0", "0403:6001:A1B2", {});
    EXPECT_GE(a, 100);
    EXPECT_LE(a, 255);
    EXPECT_EQ(platform::systemPortNumber("/dev/ttyUSB3", "0403:6001:A1B2", {}), a);
    const int b = platform::systemPortNumber("/dev/ttyUSB1", "0403:6001:A1B2", {a});
    EXPECT_EQ(b, a == 255 ? 100 : a + 1);
}

TEST(PortList, EnvironmentMappingResolvesComNumbers) {
    qputenv("JOURNAL_PORTS", "COM42=/dev/pts/77");
    EXPECT_EQ(platform::PortList::devicePathFor(42, "/nonexistent/main.ini"),
              QStringLiteral("/dev/pts/77"));
    EXPECT_EQ(platform::PortList::devicePathForName("com42", "/nonexistent/main.ini"),
              QStringLiteral("/dev/pts/77"));
    EXPECT_EQ(platform::PortList::devicePathForName("/dev/ttyX", "/nonexistent/main.ini"),
              QStringLiteral("/dev/ttyX"));
    EXPECT_TRUE(platform::PortList::devicePathForName("LPT1", "/nonexistent/main.ini").isEmpty());
    qunsetenv("JOURNAL_PORTS");
}

} // namespace

namespace {

TEST(PortList, MainIniMappingsAndEnvironmentPrecedence) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString ini = dir.filePath(QStringLiteral("main.ini"));
    QFile f(ini);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("; \xEA\xEE\xEC\xEC\xE5\xED\xF2\xE0\xF0\xE8\xE9\r\n[Main]\r\nCOM9=/dev/not-a-port\r\n"
            "[ports]\r\ncom40 = /dev/pts/40\r\nCOM41=/dev/pts/41\r\n; COM43=/dev/pts/43\r\n"
            "LPT1=/dev/lp0\r\n");
    f.close();
    qputenv("JOURNAL_PORTS", "COM41=/dev/pts/141");
    const auto ports = platform::PortList::available(ini);
    qunsetenv("JOURNAL_PORTS");
    QMap<int, QString> byNumber;
    for (const auto& p : ports)
        byNumber[p.number] = p.devicePath;
    EXPECT_EQ(byNumber.value(40), QStringLiteral("/dev/pts/40"));
    EXPECT_EQ(byNumber.value(41), QStringLiteral("/dev/pts/141")); // the environment wins
    EXPECT_FALSE(byNumber.contains(9));
    EXPECT_FALSE(byNumber.contains(43));
}

TEST(PortList, DevicePathGetsAStableFreeNumber) {
    qunsetenv("JOURNAL_PORTS");
    const int n = platform::PortList::mapDevicePath("/dev/null", "/nonexistent/main.ini");
    ASSERT_GT(n, 0);
    EXPECT_EQ(platform::PortList::devicePathFor(n, "/nonexistent/main.ini"),
              QStringLiteral("/dev/null"));
    // Asking again gives the same number instead of a second mapping.
    EXPECT_EQ(platform::PortList::mapDevicePath("/dev/null", "/nonexistent/main.ini"), n);
    EXPECT_EQ(platform::PortList::mapDevicePath("/dev/a;b", "/nonexistent/main.ini"), 0);
    qunsetenv("JOURNAL_PORTS");
}

} // namespace
