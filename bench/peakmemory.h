#pragma once

#include <QByteArray>
#include <QFile>

// Peak resident memory of this process in kB (VmHWM of /proc/self/status); -1 when unknown.
inline long PeakMemoryKb() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}
