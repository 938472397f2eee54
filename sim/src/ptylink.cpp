// SPDX-License-Identifier: MIT
#include "sim/ptylink.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <vector>

namespace sim {
namespace {

using namespace std::chrono;

bool openPair(int* master, int* slave, QString* path) {
    char name[256] = {};
    if (::openpty(master, slave, name, nullptr, nullptr) < 0)
        return false;
    termios t{};
    ::tcgetattr(*slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(*slave, TCSANOW, &t);
    ::fcntl(*master, F_SETFD, FD_CLOEXEC);
    ::fcntl(*slave, F_SETFD, FD_CLOEXEC);
    *path = QString::fromLocal8Bit(name);
    return true;
}

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool writeAll(int fd, const char* data, qsizetype size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 10);
                continue;
            }
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// Waits up to timeoutMs for input on fd and reads it; empty on time-out or failure.
QByteArray readChunk(int fd, int timeoutMs) {
    if (fd < 0)
        return {};
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0 || !(p.revents & POLLIN))
        return {};
    char buf[1024];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    return n > 0 ? QByteArray(buf, n) : QByteArray();
}

// The same for the first of several descriptors with input; `from` is the one read.
QByteArray readChunk(const std::vector<int>& fds, int timeoutMs, int* from) {
    if (fds.size() == 1) {
        *from = fds.front();
        return readChunk(*from, timeoutMs);
    }
    std::vector<pollfd> polled;
    for (const int fd : fds)
        polled.push_back({fd, POLLIN, 0});
    if (::poll(polled.data(), nfds_t(polled.size()), timeoutMs) <= 0)
        return {};
    for (const pollfd& p : polled)
        if (p.revents & POLLIN) {
            *from = p.fd;
            return readChunk(p.fd, 0);
        }
    return {};
}

} // namespace

quint16 modbusCrc(QByteArrayView bytes) {
    quint16 crc = 0xFFFF;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return crc;
}

QByteArray readAtOtherSpeed(const QByteArray& bytes, int fromBaud, int toBaud) {
    if (fromBaud <= 0 || toBaud <= 0 || fromBaud == toBaud)
        return bytes;
    // The line level bit by bit at the sender's speed: start bit, 8 data bits (least first),
    // stop bit; idle (1) after the last byte.
    std::vector<bool> line;
    for (const char c : bytes) {
        line.push_back(false);
        for (int bit = 0; bit < 8; ++bit)
            line.push_back((quint8(c) >> bit) & 1);
        line.push_back(true);
    }
    const auto level = [&](double at) {
        const auto i = static_cast<std::size_t>(at);
        return i >= line.size() || line[i];
    };
    // The receiver's bit, in the sender's bits; it samples each bit in its middle.
    const double r = double(fromBaud) / toBaud;
    QByteArray out;
    for (double at = 0; at < double(line.size());) {
        if (level(at)) {
            at += r / 4; // idle: look for the start bit's edge
            continue;
        }
        quint8 byte = 0;
        for (int bit = 0; bit < 8; ++bit)
            byte |= quint8(level(at + r * (1.5 + bit)) ? 1 << bit : 0);
        out.append(char(byte));
        at += r * 9.5; // the middle of the stop bit: the next start bit may follow
    }
    return out;
}

long long interFrameGapUs(int baud) {
    if (baud <= 0)
        return 0;
    return baud > 19200 ? 1750 : (35LL * 1000000 + baud - 1) / baud;
}

int PtyLink::clientSpeed() const {
    static const std::pair<speed_t, int> kSpeeds[] = {
        {B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
        {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
    termios t{};
    if (m_clientSlave < 0 || ::tcgetattr(m_clientSlave, &t) != 0)
        return 0;
    const speed_t s = ::cfgetospeed(&t);
    for (const auto& [code, baud] : kSpeeds)
        if (code == s)
            return baud;
    return 0;
}

PtyLink::PtyLink() = default;

PtyLink::~PtyLink() {
    close();
}

bool PtyLink::open(QString* error, int serverEnds) {
    close();
    int cm = -1;
    bool opened = openPair(&cm, &m_clientSlave, &m_clientPath);
    for (int end = 0; opened && end < std::max(1, serverEnds); ++end) {
        int master = -1, slave = -1;
        QString path;
        opened = openPair(&master, &slave, &path);
        if (opened) {
            m_serverMasters.push_back(master);
            m_serverSlaves.push_back(slave);
            m_serverPaths << path;
        }
    }
    if (!opened) {
        if (error)
            *error = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        closeFd(cm);
        close();
        return false;
    }
    m_clientMaster = cm;
    m_stop = false;
    m_open = true;
    m_lineFreeAt = m_requestEnd = Clock::now();
    m_requests = std::thread([this] { forwardRequests(); });
    m_replies = std::thread([this] { forwardReplies(); });
    return true;
}

void PtyLink::close() {
    setNoise(false);
    m_stop = true;
    if (m_requests.joinable())
        m_requests.join();
    if (m_replies.joinable())
        m_replies.join();
    int cm = m_clientMaster.exchange(-1);
    closeFd(cm);
    closeFd(m_clientSlave);
    for (int& fd : m_serverMasters)
        closeFd(fd);
    for (int& fd : m_serverSlaves)
        closeFd(fd);
    m_serverMasters.clear();
    m_serverSlaves.clear();
    m_serverPaths.clear();
    m_open = false;
}

void PtyLink::hangUpClient() {
    // The forwarder threads poll with a short time-out and pick up the closed descriptor then;
    // the client's slave loses its master and reads fail with EIO.
    int cm = m_clientMaster.exchange(-1);
    std::this_thread::sleep_for(milliseconds(30));
    closeFd(cm);
    closeFd(m_clientSlave);
}

void PtyLink::setNoise(bool on) {
    if (on == m_noiseOn)
        return;
    m_noiseOn = on;
    if (on && m_open)
        m_noise = std::thread([this] { sendNoise(); });
    else if (m_noise.joinable())
        m_noise.join();
}

void PtyLink::sendNoise() {
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    std::mt19937 random(54321);
    const int baud = m_paceBaud > 0 ? int(m_paceBaud) : 115200;
    const int perMs = std::max(1, baud / 10 / 1000);
    auto next = Clock::now();
    while (m_noiseOn && !m_stop) {
        QByteArray bytes(perMs, Qt::Uninitialized);
        for (char& b : bytes)
            b = char(random() & 0xFF);
        // Noise nobody reads is lost, as on a wire: never wait for room.
        const int cm = m_clientMaster;
        pollfd p{cm, POLLOUT, 0};
        if (cm >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLOUT)) {
            [[maybe_unused]] const ssize_t n = ::write(cm, bytes.constData(), size_t(bytes.size()));
        }
        next += milliseconds(1);
        std::this_thread::sleep_until(next);
    }
}

void PtyLink::armReplyFault(const WireFault& fault, int frameLength) {
    std::lock_guard lock(m_mutex);
    m_fault = std::make_pair(fault, frameLength);
}

PtyLink::Clock::time_point PtyLink::pace(int bytes, Clock::time_point earliest) {
    const int baud = m_paceBaud;
    if (baud <= 0)
        return Clock::now();
    std::lock_guard lock(m_mutex);
    const auto start = std::max({Clock::now(), earliest, m_lineFreeAt});
    m_lineFreeAt = start + microseconds(10LL * 1000000 * bytes / baud);
    return m_lineFreeAt;
}

void PtyLink::forwardRequests() {
    // The wire's timing is the point of pacing: wake up as close to each deadline as the
    // kernel allows (the default slack is 50 us a sleep).
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    while (!m_stop) {
        const int cm = m_clientMaster;
        if (cm < 0) {
            std::this_thread::sleep_for(milliseconds(20));
            continue;
        }
        QByteArray chunk = readChunk(cm, 20);
        if (chunk.isEmpty())
            continue;
        if (m_echo)
            writeAll(cm, chunk.constData(), chunk.size());
        if (const int line = m_lineSpeed; line > 0)
            chunk = readAtOtherSpeed(chunk, clientSpeed(), line);
        if (chunk.isEmpty())
            continue;
        // A paced byte is handed on when its last bit would have arrived.
        const auto at = pace(int(chunk.size()), Clock::now());
        std::this_thread::sleep_until(at);
        {
            std::lock_guard lock(m_mutex);
            m_requestEnd = at;
        }
        for (const int server : m_serverMasters)
            writeAll(server, chunk.constData(), chunk.size());
        m_toServer += chunk.size();
    }
}

void PtyLink::forwardReplies() {
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    std::mt19937 random(12345);
    while (!m_stop) {
        int server = -1;
        QByteArray chunk = readChunk(m_serverMasters, 20, &server);
        if (chunk.isEmpty())
            continue;
        std::optional<std::pair<WireFault, int>> fault;
        Clock::time_point requestEnd;
        {
            std::lock_guard lock(m_mutex);
            fault.swap(m_fault);
            requestEnd = m_requestEnd;
        }
        if (fault) {
            // Collect the whole frame before altering it.
            const auto until = Clock::now() + milliseconds(200);
            while (chunk.size() < fault->second && Clock::now() < until)
                chunk += readChunk(server, 10);
            const WireFault& f = fault->first;
            switch (f.kind) {
            case WireFault::Kind::BadCrc:
                chunk[chunk.size() - 1] = char(chunk.back() ^ 0x5A);
                break;
            case WireFault::Kind::Truncate: {
                const int cut = f.bytes > 0 ? std::min<int>(f.bytes, int(chunk.size()) - 1)
                                            : int(chunk.size()) / 2;
                chunk.chop(cut);
                break;
            }
            case WireFault::Kind::OtherAddress:
                if (chunk.size() >= 3) {
                    const int own = quint8(chunk[0]);
                    chunk[0] = char(f.bytes > 0 ? f.bytes : own % 247 + 1);
                    const quint16 crc = modbusCrc(chunk.left(chunk.size() - 2));
                    chunk[chunk.size() - 2] = char(crc & 0xFF);
                    chunk[chunk.size() - 1] = char(crc >> 8);
                }
                break;
            case WireFault::Kind::Garbage: {
                QByteArray noise;
                for (int i = 0; i < (f.bytes > 0 ? f.bytes : 5); ++i)
                    noise.append(char(random() & 0xFF));
                chunk.prepend(noise);
                break;
            }
            }
        }
        if (const int line = m_lineSpeed; line > 0)
            chunk = readAtOtherSpeed(chunk, line, clientSpeed());
        const int baud = m_paceBaud;
        const auto gap = microseconds(interFrameGapUs(baud));
        const auto at = pace(int(chunk.size()), baud > 0 ? requestEnd + gap : Clock::now());
        std::this_thread::sleep_until(at);
        const int cm = m_clientMaster;
        if (cm >= 0 && writeAll(cm, chunk.constData(), chunk.size()))
            m_toClient += chunk.size();
    }
}

} // namespace sim
