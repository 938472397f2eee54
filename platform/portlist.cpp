// SPDX-License-Identifier: MIT
#include "platform/portlist.h"

#include "platform/cataloguelocation.h"
#include "platform/endpoint.h"
#include "platform/inifile.h"
#include "platform/portname.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include <algorithm>

namespace platform {
namespace {

// One spelling per device or endpoint, so that two names of the same one compare equal.
QString canonical(const QString& path) {
    if (isNetworkEndpoint(path)) {
        const auto endpoint = parseNetworkEndpoint(path);
        return endpoint ? endpoint->text() : path.trimmed();
    }
    const QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? path : c;
}

void applyMappings(QList<SerialPortEntry>& ports, const QList<PortMapping>& mappings,
                   SerialPortEntry::Source source, const QString& what) {
    for (const PortMapping& m : mappings) {
        const QString target = canonical(m.devicePath);
        ports.removeIf([&](const SerialPortEntry& p) {
            return p.number == m.number || canonical(p.devicePath) == target;
        });
        SerialPortEntry e;
        e.number = m.number;
        e.name = comPortName(m.number);
        e.devicePath = m.devicePath;
        e.description = what;
        e.source = source;
        ports.append(e);
    }
}

} // namespace

QString programDirectory() {
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    return QFileInfo(exe.symLinkTarget()).absolutePath();
}

QString defaultMainIniPath() {
    return catalogueLocation(programDirectory()).mainIniPath;
}

QList<PortMapping> parsePortMappings(QStringView text) {
    QList<PortMapping> out;
    for (QStringView item : text.split(u';', Qt::SkipEmptyParts)) {
        const qsizetype eq = item.indexOf(u'=');
        if (eq < 0)
            continue;
        const int n = comPortNumber(item.left(eq).trimmed());
        const QString path = item.mid(eq + 1).trimmed().toString();
        if (n == 0 || path.isEmpty())
            continue;
        out.removeIf([n](const PortMapping& m) { return m.number == n; });
        out.append({n, path});
    }
    return out;
}

QList<PortMapping> environmentPortMappings() {
    return parsePortMappings(qEnvironmentVariable("JOURNAL_PORTS"));
}

QList<PortMapping> mainIniPortMappings(const QString& mainIniPath) {
    IniFile ini;
    ini.load(mainIniPath);
    QList<PortMapping> out;
    for (const QString& key : ini.keys(u"Ports")) {
        const int n = comPortNumber(key);
        const QString path = ini.readString(u"Ports", key, QString());
        if (n == 0 || path.isEmpty())
            continue;
        out.removeIf([n](const PortMapping& m) { return m.number == n; });
        out.append({n, path});
    }
    return out;
}

int systemPortNumber(const QString& devicePath, const QString& identityKey,
                     const QList<int>& taken) {
    static const QRegularExpression ttyS(QStringLiteral("^/dev/ttyS(\\d+)$"));
    const auto m = ttyS.match(devicePath);
    if (m.hasMatch()) {
        const int k = m.captured(1).toInt();
        return k <= 98 && !taken.contains(k + 1) ? k + 1 : 0;
    }
    const int start = qChecksum(identityKey.toUtf8()) % 156;
    for (int i = 0; i < 156; ++i) {
        const int n = 100 + (start + i) % 156;
        if (!taken.contains(n))
            return n;
    }
    return 0;
}

QList<SerialPortEntry> PortList::available(const QString& mainIniPath) {
    struct Found {
        QSerialPortInfo info;
        QString key;
    };
    QList<Found> found;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        QString key = info.systemLocation();
        if (!info.serialNumber().isEmpty() && info.hasVendorIdentifier() &&
            info.hasProductIdentifier())
            key = QStringLiteral("%1:%2:%3")
                      .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                      .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'))
                      .arg(info.serialNumber());
        found.append({info, key});
    }
    // Built-in UARTs first (their numbers are fixed), then the rest in key order.
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        const bool sa = a.info.portName().startsWith(QLatin1String("ttyS"));
        const bool sb = b.info.portName().startsWith(QLatin1String("ttyS"));
        if (sa != sb)
            return sa;
        return a.key < b.key;
    });

    QList<SerialPortEntry> ports;
    QList<int> taken;
    for (const Found& f : found) {
        const int n = systemPortNumber(f.info.systemLocation(), f.key, taken);
        if (n == 0)
            continue;
        taken.append(n);
        SerialPortEntry e;
        e.number = n;
        e.name = comPortName(n);
        e.devicePath = f.info.systemLocation();
        e.description = f.info.description().isEmpty() ? f.info.portName() : f.info.description();
        e.virtualComPort = f.info.hasVendorIdentifier();
        ports.append(e);
    }
    applyMappings(ports, mainIniPortMappings(mainIniPath), SerialPortEntry::Source::MainIni,
                  QStringLiteral("main.ini [Ports]"));
    applyMappings(ports, environmentPortMappings(), SerialPortEntry::Source::Environment,
                  QStringLiteral("JOURNAL_PORTS"));
    std::sort(ports.begin(), ports.end(), [](const SerialPortEntry& a, const SerialPortEntry& b) {
        return a.number < b.number;
    });
    return ports;
}

QString PortList::devicePathFor(int number, const QString& mainIniPath) {
    for (const SerialPortEntry& p : available(mainIniPath))
        if (p.number == number)
            return p.devicePath;
    return {};
}

QString PortList::devicePathForName(const QString& nameOrPath, const QString& mainIniPath) {
    if (nameOrPath.startsWith(u'/'))
        return nameOrPath;
    if (isNetworkEndpoint(nameOrPath))
        return nameOrPath.trimmed();
    const int n = comPortNumber(nameOrPath);
    return n == 0 ? QString() : devicePathFor(n, mainIniPath);
}

int PortList::mapDevicePath(const QString& devicePath, const QString& mainIniPath) {
    if (devicePath.isEmpty() || devicePath.contains(u';'))
        return 0;
    const QList<SerialPortEntry> ports = available(mainIniPath);
    const QString target = canonical(devicePath);
    for (const SerialPortEntry& p : ports)
        if (canonical(p.devicePath) == target)
            return p.number;
    for (int n = 255; n >= 1; --n) {
        const bool taken = std::any_of(ports.cbegin(), ports.cend(),
                                       [n](const SerialPortEntry& p) { return p.number == n; });
        if (taken)
            continue;
        // A free number has no mapping in the variable yet, so appending cannot be overridden.
        addEnvironmentPortMapping(n, devicePath);
        return n;
    }
    return 0;
}

void addEnvironmentPortMapping(int number, const QString& devicePath) {
    const QByteArray env = qgetenv("JOURNAL_PORTS");
    const QByteArray item = (comPortName(number) + u'=' + devicePath).toLocal8Bit();
    qputenv("JOURNAL_PORTS", env.isEmpty() ? item : env + ';' + item);
}

} // namespace platform
