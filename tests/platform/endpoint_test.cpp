// SPDX-License-Identifier: MIT
#include "platform/endpoint.h"
#include "platform/portlist.h"

#include <gtest/gtest.h>

namespace {

using platform::NetworkEndpoint;
using Framing = NetworkEndpoint::Framing;

// Known answers: what each text parses to (host, port, framing, normalized text), or the start
// of the message a malformed one gets.
TEST(Endpoint, ParsesKnownForms) {
    const struct {
        const char* text;
        Framing framing;
        const char* host; // nullptr: malformed
        int port;
        const char* normal; // or a part of the message
    } cases[] = {
        {"tcp://10.0.0.5:502", Framing::ModbusTcp, "10.0.0.5", 502, "tcp://10.0.0.5:502"},
        {"tcp://10.0.0.5", Framing::ModbusTcp, "10.0.0.5", 502, "tcp://10.0.0.5:502"},
        {"  TCP://gw-1.plant.local:1502 ", Framing::ModbusTcp, "gw-1.plant.local", 1502,
         "tcp://gw-1.plant.local:1502"},
        {"rtu+tcp://127.0.0.1:4001", Framing::RtuOverTcp, "127.0.0.1", 4001,
         "rtu+tcp://127.0.0.1:4001"},
        {"tcp://[::1]:1502", Framing::ModbusTcp, "::1", 1502, "tcp://[::1]:1502"},
        {"tcp://[fe80::1%eth0]", Framing::ModbusTcp, "fe80::1%eth0", 502,
         "tcp://[fe80::1%eth0]:502"},
        {"rtu+tcp://[::1]:65535", Framing::RtuOverTcp, "::1", 65535, "rtu+tcp://[::1]:65535"},
        {"rtu+tcp://host", Framing::RtuOverTcp, nullptr, 0, "нужен номер порта"},
        {"tcp://::1:502", Framing::ModbusTcp, nullptr, 0, "квадратных скобках"},
        {"tcp://[::1", Framing::ModbusTcp, nullptr, 0, "«]»"},
        {"tcp://[::1]x", Framing::ModbusTcp, nullptr, 0, "«:ПОРТ»"},
        {"tcp://[10.0.0.5]:502", Framing::ModbusTcp, nullptr, 0, "не IPv6"},
        {"tcp://:502", Framing::ModbusTcp, nullptr, 0, "не указан узел"},
        {"tcp://", Framing::ModbusTcp, nullptr, 0, "не указан узел"},
        {"tcp://host:0", Framing::ModbusTcp, nullptr, 0, "номер порта «0»"},
        {"tcp://host:65536", Framing::ModbusTcp, nullptr, 0, "номер порта"},
        {"tcp://host:", Framing::ModbusTcp, nullptr, 0, "номер порта"},
        {"tcp://host:+5", Framing::ModbusTcp, nullptr, 0, "номер порта"},
        {"tcp://a b:502", Framing::ModbusTcp, nullptr, 0, "имя узла"},
        {"tcp://host/path", Framing::ModbusTcp, nullptr, 0, "имя узла"},
        {"tcp://a..b", Framing::ModbusTcp, nullptr, 0, "имя узла"},
        {"udp://host:502", Framing::ModbusTcp, nullptr, 0, "не сетевой адрес"},
    };
    for (const auto& c : cases) {
        const QString text = QString::fromUtf8(c.text);
        QString why;
        const auto ep = platform::parseNetworkEndpoint(text, &why);
        if (!c.host) {
            EXPECT_FALSE(ep) << c.text;
            EXPECT_TRUE(why.contains(QString::fromUtf8(c.normal)))
                << c.text << " " << why.toStdString();
            EXPECT_EQ(platform::isNetworkEndpoint(text), !text.startsWith(u"udp")) << c.text;
            continue;
        }
        ASSERT_TRUE(ep) << c.text << " " << why.toStdString();
        EXPECT_TRUE(platform::isNetworkEndpoint(text)) << c.text;
        EXPECT_EQ(ep->framing, c.framing) << c.text;
        EXPECT_EQ(ep->host, QString::fromUtf8(c.host)) << c.text;
        EXPECT_EQ(ep->port, c.port) << c.text;
        EXPECT_EQ(ep->text(), QString::fromUtf8(c.normal)) << c.text;
        EXPECT_EQ(platform::parseNetworkEndpoint(ep->text()), ep) << c.text; // text() round-trips
    }
    EXPECT_FALSE(platform::isNetworkEndpoint(u"/dev/ttyUSB0"));
    EXPECT_FALSE(platform::isNetworkEndpoint(u"COM9"));
}

// Endpoints stand wherever a device path can: mapped in JOURNAL_PORTS, named directly, and given a
// free number once (two spellings of one endpoint share it).
TEST(Endpoint, MapsLikeADevicePath) {
    const QString ini = QStringLiteral("/nonexistent/main.ini");
    qputenv("JOURNAL_PORTS", "COM9=tcp://10.0.0.5:502;COM10=rtu+tcp://[::1]:4001");
    EXPECT_EQ(platform::PortList::devicePathForName("com9", ini),
              QStringLiteral("tcp://10.0.0.5:502"));
    EXPECT_EQ(platform::PortList::devicePathFor(10, ini), QStringLiteral("rtu+tcp://[::1]:4001"));
    EXPECT_EQ(platform::PortList::devicePathForName(" tcp://h:7 ", ini),
              QStringLiteral("tcp://h:7"));
    EXPECT_EQ(platform::PortList::mapDevicePath("tcp://10.0.0.5", ini), 9);
    const int n = platform::PortList::mapDevicePath("tcp://127.0.0.1:1502", ini);
    ASSERT_GT(n, 0);
    EXPECT_NE(n, 9);
    EXPECT_EQ(platform::PortList::mapDevicePath("TCP://127.0.0.1:1502", ini), n);
    EXPECT_EQ(platform::PortList::devicePathFor(n, ini), QStringLiteral("tcp://127.0.0.1:1502"));
    qunsetenv("JOURNAL_PORTS");
}

} // namespace
