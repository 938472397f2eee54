// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Catalogue files of a test: written whole, or edited in place.

// Writes a file whole; false when it cannot be written.
inline bool WriteWholeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Replaces `from` by `to` in a file; false when the file holds no `from` or cannot be rewritten.
inline bool ReplaceInFile(const QString& path, const QByteArray& from, const QByteArray& to) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    QByteArray bytes = f.readAll();
    f.close();
    return bytes.contains(from) && WriteWholeFile(path, bytes.replace(from, to));
}
