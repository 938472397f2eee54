// SPDX-License-Identifier: MIT
#include "collect/collectorlock.h"

#include <QDir>
#include <QFileInfo>

namespace collect {

QString TCollectorLock::LockPath(const QString& archivePath) {
    return QFileInfo(archivePath).absoluteFilePath() + QStringLiteral(".collect.lock");
}

bool TCollectorLock::Take(const QString& archivePath, QString* message) {
    const QString path = LockPath(archivePath);
    QDir().mkpath(QFileInfo(path).absolutePath());
    auto lock = std::make_unique<QLockFile>(path);
    // Never stale by age: only a holder that is gone frees it.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        m_lock = std::move(lock);
        return true;
    }
    qint64 pid = 0;
    QString host, program;
    if (lock->error() == QLockFile::LockFailedError && lock->getLockInfo(&pid, &host, &program)) {
        *message = QStringLiteral("Архив %1 уже пополняет другой сборщик (процесс %2 на %3): с "
                                  "архивом SQLite сборщик работает один, для нескольких нужен "
                                  "архив PostgreSQL")
                       .arg(archivePath, QString::number(pid), host);
        return false;
    }
    *message =
        QStringLiteral("Не удалось создать файл блокировки %1 (папка недоступна для записи?)")
            .arg(path);
    return false;
}

} // namespace collect
