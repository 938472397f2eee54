// SPDX-License-Identifier: MIT
#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

// An SQLite archive has one collector: the file is not shared between machines, and a second
// collector on it would read every instrument a second time. The collector holds a lock file
// beside the archive (ARCHIVE.collect.lock: its process id, host and program) while it runs; the
// system frees it when the process ends, however it ends, and a lock left by a process that is
// gone is taken over. A PostgreSQL archive takes any number of collectors, which share its
// instruments through leases.
namespace collect {

class TCollectorLock {
public:
    // The lock file of the SQLite archive at `archivePath`.
    static QString LockPath(const QString& archivePath);

    // Takes the lock; false with a message (naming the collector that holds it) when another
    // collector has it or the lock file cannot be made.
    bool Take(const QString& archivePath, QString* message);

private:
    std::unique_ptr<QLockFile> m_lock;
};

} // namespace collect
