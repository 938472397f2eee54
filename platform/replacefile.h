// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <sys/types.h>

// Writing a file so that what it held survives every failure.
namespace platform {

// Why a file could not be written, in Russian: the common error numbers from a table, any other
// as "системная ошибка N".
QString writeErrorText(int errnum);

// Replaces the content of a file. The new bytes go to a temporary file in the same folder, which
// takes the file's name only once every write, the sync and the close have succeeded; on any
// failure it is removed and the file stays as it was. A symbolic link is followed: its target is
// replaced and the link stays. The replacement keeps the old file's permissions.
//
// When the folder refuses a new file but the file itself may be written, the bytes are written
// into the file in place (without cutting it first); a failed write puts the old bytes back.
// A name that exists but is no regular file (a device, a pipe) is written directly, never
// replaced. Every write is checked; error() holds the first failure's error number.
class TReplaceFile {
public:
    explicit TReplaceFile(const QString& path);
    ~TReplaceFile(); // an open replacement that was not committed is cancelled
    TReplaceFile(const TReplaceFile&) = delete;
    TReplaceFile& operator=(const TReplaceFile&) = delete;

    [[nodiscard]] bool open();
    [[nodiscard]] bool write(QByteArrayView bytes);
    // Makes the new content the file's; false (and the old content kept) on failure.
    [[nodiscard]] bool commit();
    void cancel();

    int error() const { return m_errno; }
    QString errorText() const { return writeErrorText(m_errno); }

    // Whether `path` could be written by open(): 0, or the error number that open() would meet
    // first (missing folder, a folder in the file's place, no write permission). Nothing is
    // created.
    static int checkWritable(const QString& path);

private:
    enum class Mode { Closed, Temporary, InPlace, Direct };

    bool fail(int errnum);
    bool openTemporary(mode_t oldMode, bool exists, uid_t uid, gid_t gid);
    bool openInPlace();
    void closeFd();

    QByteArray m_target; // encoded name, symbolic links resolved
    QByteArray m_temp;   // Temporary: the temporary file's name
    QByteArray m_old;    // InPlace: the content to put back on failure
    qint64 m_written = 0;
    int m_fd = -1;
    int m_errno = 0;
    Mode m_mode = Mode::Closed;
};

} // namespace platform
