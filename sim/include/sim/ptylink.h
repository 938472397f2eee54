// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace sim {

// Something to do to the next reply frame on its way to the client.
struct WireFault {
    enum class Kind { Garbage, BadCrc, Truncate, OtherAddress };
    Kind kind = Kind::BadCrc;
    // Garbage: bytes put before the frame; Truncate: bytes cut off (0 = half); OtherAddress: the
    // address the frame gets (0 = the next one), with a CRC that matches it.
    int bytes = 0;
};

// Two pseudo-terminal pairs joined by a forwarder, like a null-modem cable: the simulator's
// server opens serverPath(), a Modbus master opens clientPath(). The forwarder is the wire: it
// can pace the bytes at a baud rate (10 bits a byte, a 3.5-character silence before each reply)
// and it applies wire faults to reply frames. Both slave ends are raw, and a descriptor of each
// stays open so that the other side can close and reopen its end.
//
// A link opened with several server ends is a bus (RS-485 with several instruments): every
// request reaches every server end, and what any of them sends reaches the client, on the one
// paced wire. The instruments answer only their own address, so their answers take turns.
class PtyLink {
public:
    PtyLink();
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    [[nodiscard]] bool open(QString* error = nullptr, int serverEnds = 1);
    void close();
    bool isOpen() const { return m_open; }

    QString serverPath(int end = 0) const { return m_serverPaths.value(end); }
    int serverEnds() const { return int(m_serverPaths.size()); }
    QString clientPath() const { return m_clientPath; }

    // 0 = no pacing: bytes pass as soon as they are read.
    void setPacing(int baud) { m_paceBaud = baud; }
    int pacing() const { return m_paceBaud; }

    // The next reply frame (frameLength bytes as the server writes it) is altered by fault.
    void armReplyFault(const WireFault& fault, int frameLength);

    // The client's end goes away as a pulled USB adapter would: its path vanishes and the
    // client's reads and writes fail.
    void hangUpClient();

    // A noisy line: random bytes reach the client without pause, at the pacing rate (115,200
    // baud when not paced), mixed with whatever the server sends.
    void setNoise(bool on);

    // A two-wire RS-485 adapter with echo on: every request comes back to the client as it goes
    // out, before the answer.
    void setEcho(bool on) { m_echo = on; }

    // The instrument's line speed (0 = off): while the speed the client set on its end differs,
    // bytes in both directions arrive as a UART at the other speed would read them (garbled,
    // more or fewer of them), as on a real line.
    void setLineSpeed(int baud) { m_lineSpeed = baud; }
    // The speed the client set on its end of the link (0 when it cannot be told).
    int clientSpeed() const;

    // Bytes forwarded from the client to the server and back (for tests).
    qint64 bytesToServer() const { return m_toServer; }
    qint64 bytesToClient() const { return m_toClient; }

private:
    using Clock = std::chrono::steady_clock;
    void forwardRequests();
    void forwardReplies();
    void sendNoise();
    Clock::time_point pace(int bytes, Clock::time_point earliest);

    bool m_open = false;
    std::vector<int> m_serverMasters, m_serverSlaves;
    std::atomic<int> m_clientMaster{-1};
    int m_clientSlave = -1;
    QStringList m_serverPaths;
    QString m_clientPath;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_paceBaud{0};
    std::thread m_requests, m_replies, m_noise;
    std::atomic<bool> m_noiseOn{false};
    std::atomic<bool> m_echo{false};
    std::atomic<int> m_lineSpeed{0};

    std::mutex m_mutex; // guards the fields below
    std::optional<std::pair<WireFault, int>> m_fault;
    Clock::time_point m_lineFreeAt{};
    Clock::time_point m_requestEnd{};
    std::atomic<qint64> m_toServer{0}, m_toClient{0};
};

// Modbus CRC-16 (polynomial 0xA001, initial 0xFFFF), for frames the wire or a gateway makes.
[[nodiscard]] quint16 modbusCrc(QByteArrayView bytes);

// Bytes sent back to back at fromBaud (8N1) as a UART at toBaud reads them.
QByteArray readAtOtherSpeed(const QByteArray& bytes, int fromBaud, int toBaud);

// Modbus inter-frame silence in microseconds: 3.5 characters of 10 bits up to 19,200 baud,
// 1,750 us above.
[[nodiscard]] long long interFrameGapUs(int baud);

} // namespace sim
