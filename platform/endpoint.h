// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringView>

#include <optional>

// Network endpoints, a kind of port: an instrument behind an Ethernet gateway or a serial device
// server, or one that speaks Modbus TCP itself. An endpoint stands wherever a device path can
// (a [Ports] or JOURNAL_PORTS mapping, the window's port box, journal-read --port):
//   tcp://HOST[:PORT]       Modbus TCP (MBAP header; the unit id is the instrument address);
//                           PORT 502 when left out
//   rtu+tcp://HOST:PORT     Modbus RTU frames with their CRC carried over a TCP stream, as a
//                           transparent serial device server passes them
// HOST is a name, an IPv4 address or an IPv6 address in brackets ("tcp://[::1]:1502"). The
// schemes are read in any letter case.
namespace platform {

struct NetworkEndpoint {
    enum class Framing { ModbusTcp, RtuOverTcp };

    Framing framing = Framing::ModbusTcp;
    QString host; // a name or an address, without brackets
    quint16 port = 502;

    // "tcp://host:port" or "rtu+tcp://host:port", an IPv6 address in brackets.
    QString text() const;
    bool operator==(const NetworkEndpoint&) const = default;
};

inline constexpr quint16 kModbusTcpPort = 502;
// How long connecting to an endpoint may take unless set otherwise, in milliseconds.
inline constexpr int kDefaultConnectLimitMs = 3000;

// True when the text begins with an endpoint's scheme, whatever follows: such a text is an
// endpoint or a wrong one, never a device path.
bool isNetworkEndpoint(QStringView text);

// The endpoint a text names (blanks around it ignored); nothing, with the reason for the user in
// `error`, when the text is not a well-formed endpoint.
std::optional<NetworkEndpoint> parseNetworkEndpoint(QStringView text, QString* error = nullptr);

} // namespace platform
