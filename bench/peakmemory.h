// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// A memory figure in kB from /proc/<pid>/status ("VmHWM" the peak resident memory, "VmRSS" the
// resident memory now) of this process (pid 0) or another; -1 when unknown.
inline long ProcessMemoryKb(const char* field, qint64 pid = 0) {
    QFile f(pid > 0 ? QStringLiteral("/proc/%1/status").arg(pid)
                    : QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    return -1;
}

// Peak resident memory of this process in kB; -1 when unknown.
inline long PeakMemoryKb() {
    return ProcessMemoryKb("VmHWM");
}
