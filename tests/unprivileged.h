// SPDX-License-Identifier: MIT
#pragma once

// Failure paths that depend on file permissions, which do not bind root: when the tests run as
// root, the case runs as the unprivileged user "nobody" (uid and gid 65534) instead, so that it
// can fail in CI as well.

#include <QFile>
#include <QString>
#include <QStringList>

#include <chrono>
#include <csignal>
#include <functional>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

inline constexpr int kNobody = 65534;

// Waits for a child process: its exit status; 98 when it ran over `limit` (it is killed), 97
// when it did not exit normally (a crash).
inline int WaitForChild(pid_t pid, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return 98;
        }
        ::usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 97;
}

// Runs `body` in a child process as "nobody" when the tests run as root, else in this process;
// its return value is the result (a failed switch gives 99, a child that ran over 20 s 98).
// The child must not rely on threads of this process.
inline int RunUnprivileged(const std::function<int()>& body) {
    if (::geteuid() != 0)
        return body();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(99);
        // Changing the user makes the process undumpable, which hides /proc/self/fd from it.
        ::prctl(PR_SET_DUMPABLE, 1);
        ::_exit(body());
    }
    return WaitForChild(pid, std::chrono::seconds(20));
}

// Runs `body` in a child process bounded by `limit`, so that code that hangs or aborts fails its
// case instead of the whole test program (results as for WaitForChild).
inline int RunInChild(const std::function<int()>& body, std::chrono::milliseconds limit) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    return WaitForChild(pid, limit);
}

// Makes a folder (or file) readable, and a folder traversable, by other users, writable by its
// owner only: prepared for the unprivileged user, who may read it but not write it.
inline bool ReadOnlyForOthers(const QString& path) {
    return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                           QFile::ReadOther | QFile::ExeOther);
}

// The program and arguments that start `program` as "nobody" when the tests run as root.
inline QStringList UnprivilegedCommand(const QString& program, const QStringList& arguments) {
    if (::geteuid() != 0)
        return QStringList{program} + arguments;
    return QStringList{QStringLiteral("setpriv"),
                       QStringLiteral("--reuid=%1").arg(kNobody),
                       QStringLiteral("--regid=%1").arg(kNobody),
                       QStringLiteral("--clear-groups"),
                       QStringLiteral("--"),
                       program} +
           arguments;
}
