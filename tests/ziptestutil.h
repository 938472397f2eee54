#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>

// Test helpers for files the programs write.

inline QByteArray ReadWholeFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// One member of an .xlsx (zip) file, read with Python's standard zipfile module.
inline QByteArray ZipEntry(const QString& zip, const QString& member) {
    QProcess p;
    p.start("python3", {"-c",
                        "import sys,zipfile;sys.stdout.buffer.write("
                        "zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))",
                        zip, member});
    p.waitForFinished(10000);
    return p.readAllStandardOutput();
}
