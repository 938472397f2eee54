// SPDX-License-Identifier: MIT
// Any byte stream arriving from the serial line, in any chunks, as the answer to each request the
// access library makes: the library's C entry points run over a fake port and must return a
// result code without a crash, a read or write outside the caller's buffer, or a hang.
#include "librarymaster.h"
#include "ombreldll.h"

#include <QByteArray>
#include <QIODevice>
#include <QList>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

// A serial line that answers each request with the next chunks of the fuzzer's bytes (at most
// kChunksPerRequest of them). Nothing arrives before a request is written (except `early`), so
// the library's pre-request drain does not swallow the answer. At the end the line stays
// silent, or closes like a pulled adapter.
class FakeLine : public QIODevice {
public:
    FakeLine(QList<QByteArray> chunks, QByteArray early, bool closeAtEnd)
        : m_chunks(std::move(chunks)), m_pending(std::move(early)), m_closeAtEnd(closeAtEnd) {
        open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override {
        return m_pending.size() + QIODevice::bytesAvailable();
    }
    bool waitForReadyRead(int) override {
        if (!isOpen())
            return false;
        if (!m_pending.isEmpty())
            return true;
        if (m_budget > 0 && !m_chunks.isEmpty()) {
            --m_budget;
            m_pending = m_chunks.takeFirst();
            return true;
        }
        if (m_written && m_chunks.isEmpty() && m_closeAtEnd)
            close();
        return false;
    }
    bool waitForBytesWritten(int) override { return isOpen(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 n = std::min<qint64>(maxSize, m_pending.size());
        std::memcpy(data, m_pending.constData(), size_t(n));
        m_pending.remove(0, n);
        return n;
    }
    qint64 writeData(const char*, qint64 len) override {
        m_written = true;
        m_budget = kChunksPerRequest;
        return len;
    }

private:
    QList<QByteArray> m_chunks;
    QByteArray m_pending;
    bool m_closeAtEnd = false;
    bool m_written = false;
    int m_budget = 0;
    // Chunks that may follow one request; the line is silent after them until the next one.
    static constexpr int kChunksPerRequest = 16;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4 || size > 4096)
        return 0;
    const std::uint8_t call = data[0];
    const int retries = data[1] % 3;
    const int chunk = data[2] == 0 ? 4096 : data[2] % 64 + 1;
    const bool closeAtEnd = data[3] & 1;
    const bool earlyJunk = data[3] & 2;
    const int address = (data[3] >> 2) % 3 + 1;
    QByteArray stream(reinterpret_cast<const char*>(data + 4), qsizetype(size - 4));
    QByteArray early;
    if (earlyJunk)
        early = stream.left(3);

    QList<QByteArray> chunks;
    for (qsizetype i = 0; i < stream.size(); i += chunk)
        chunks.append(stream.mid(i, chunk));
    auto line = std::make_unique<FakeLine>(std::move(chunks), std::move(early), closeAtEnd);
    ombrel::RtuAndTcpMaster& master = ombrel::libraryMaster();
    check(master.openDevice(std::move(line), 115200));
    master.setTimeouts(1, 1);
    master.setRetries(retries);

    int rc = 0;
    switch (call % 6) {
    case 0: {
        // A journal record: the reply lands in the reader's 256-byte buffer.
        auto buf = std::make_unique<std::uint8_t[]>(256);
        const std::uint8_t req[7] = {0, 1, 0, 1, 0, 0, data[0]};
        std::copy(std::begin(req), std::end(req), buf.get());
        rc = AnyFunction(address, 65, 7, buf.get());
        if (rc == 0)
            check(buf[0] == 65 && buf[1] <= 251);
        break;
    }
    case 1: {
        const int count = call / 6 % 4 + 1;
        const int type = (call & 0x80) ? 19 : 2;
        auto buf = std::make_unique<std::uint8_t[]>(252);
        rc = ReadInputRegister(address, 0, count, type, buf.get());
        break;
    }
    case 2: {
        auto buf = std::make_unique<std::uint8_t[]>(252);
        rc = ReadHoldingRegister(address, 7, 1, 2, buf.get());
        break;
    }
    case 3: {
        const int room = call / 6 % 40;
        auto buf = std::make_unique<std::uint8_t[]>(size_t(room) + 1);
        rc = GetDevName(address, buf.get(), room);
        if (rc == 0)
            check(buf[0] <= room);
        break;
    }
    case 4:
        rc = Test(address);
        break;
    default:
        rc = WriteRegister(address, 3, 0x1234);
        break;
    }
    check(rc >= 0 && rc < 20);
    master.close();
    return 0;
}
