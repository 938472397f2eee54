// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QString>
#include <QStringView>

// The serial-port list shared by the window, the connection dialog, the access library and the
// exchange server. Every port carries a Windows-style name "COMn" (n = 1..255), because the
// catalogue, main.ini and the access library's Connect() speak of port numbers.
//
// Naming rule for ports the system reports (QSerialPortInfo):
//   - /dev/ttyS<k> (built-in UARTs)            -> COM<k+1>, for k = 0..98
//   - every other port (ttyUSB, ttyACM, ...)    -> a number from 100 to 255 derived from the
//     device's identity: "vid:pid:serial" when the adapter reports a serial number, otherwise
//     its device path. The number is 100 + the CRC-16 (ISO 3309, qChecksum) of that key modulo 156;
//     when two ports collide, the one whose key sorts later takes the next free number. The same
//     adapter therefore gets the same name whichever USB socket or plug order it has.
// User mappings "COMn = device path" come from the [Ports] section of main.ini and from the
// environment variable JOURNAL_PORTS ("COM5=/dev/pts/3;COM7=/dev/serial/by-id/..."), which takes
// precedence. A mapping replaces a reported port of the same number or the same device. The
// path may also be a network endpoint ("COM9=tcp://10.0.0.5:502", see endpoint.h).
namespace platform {

struct PortMapping {
    int number = 0;
    QString devicePath;
};

struct SerialPortEntry {
    enum class Source { System, MainIni, Environment };

    QString name; // "COM3"
    int number = 0;
    QString devicePath;
    QString description;
    bool virtualComPort = false; // a USB serial adapter (the desktop's "virtual COM port")
    Source source = Source::System;
};

// Directory of the running program (where main.ini, the access library and the servers live).
QString programDirectory();
// main.ini of the running program (see cataloguelocation.h).
QString defaultMainIniPath();

// Parses "COM5=/dev/pts/3;COM7=/dev/ttyUSB0". Items that are not of that form are skipped.
QList<PortMapping> parsePortMappings(QStringView text);
// Mappings from JOURNAL_PORTS.
QList<PortMapping> environmentPortMappings();
// Mappings from the [Ports] section of the given main.ini (keys COMn, values device paths).
QList<PortMapping> mainIniPortMappings(const QString& mainIniPath);

// Number of a system port by the naming rule above; 0 when none can be given.
int systemPortNumber(const QString& devicePath, const QString& identityKey,
                     const QList<int>& taken);

class PortList {
public:
    // All ports: the system's, named by the rule, with the mappings applied, sorted by number.
    static QList<SerialPortEntry> available(const QString& mainIniPath = defaultMainIniPath());

    // Device path of COM<number>; empty when no port has that number.
    static QString devicePathFor(int number, const QString& mainIniPath = defaultMainIniPath());

    // Device path for a port name: "COMn" (comPortNumber) through the list, an absolute device
    // path or a network endpoint as it stands. Empty when the text is none of these.
    static QString devicePathForName(const QString& nameOrPath,
                                     const QString& mainIniPath = defaultMainIniPath());

    // Gives a device path a port number under which it can be opened (the access library's
    // Connect takes numbers only): the number of the listed port with that device, otherwise the
    // highest free number, mapped to the path for this process (addEnvironmentPortMapping).
    // 0 when every number is taken.
    static int mapDevicePath(const QString& devicePath,
                             const QString& mainIniPath = defaultMainIniPath());
};

// Maps COM<number> to a device path for this process and the programs it starts, by appending
// "COMn=path" to JOURNAL_PORTS. The only writer of that variable.
void addEnvironmentPortMapping(int number, const QString& devicePath);

} // namespace platform
