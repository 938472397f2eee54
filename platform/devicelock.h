// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// A lock on a serial device by its identity, shared by the access library and the exchange
// server. Qt's own lock file is named after the port's name and root passes the kernel's
// exclusive mode (TIOCEXCL), so two readers reaching one device through two names (a symlink
// such as /dev/serial/by-id/..., a COMn mapping) could both open it and swap answers. This lock
// is named after the device node's identity (device and inode numbers, which every name of the
// node shares): an flock on a file in a folder every user shares (/run/lock, else /var/lock,
// else /tmp). The system drops it when its holder ends; root is refused like everyone else.
namespace platform {

class DeviceLock {
public:
    DeviceLock() = default;
    ~DeviceLock();
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

    // Takes the lock of the device `devicePath` names (following links). False, with the user's
    // message in `why`, when another reader holds it. A device that does not exist, or a lock
    // that cannot be kept (no shared folder), gives true without a lock: opening the device
    // tells the rest.
    bool acquire(const QString& devicePath, QString* why = nullptr);
    void release();
    bool isHeld() const { return m_fd >= 0; }

    // The lock file of a device; empty when the device does not exist.
    static QString lockFilePath(const QString& devicePath);

private:
    int m_fd = -1;
};

} // namespace platform
