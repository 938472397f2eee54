// SPDX-License-Identifier: MIT
#include "app/core/instrumentsearch.h"

#include "app/core/readingrun.h"
#include "app/core/selectors.h"
#include "comm/ipc/resultcodes.h"

#include <QStringList>

#include <algorithm>
#include <cstdint>

namespace core {
namespace {

using namespace std::chrono;

constexpr int kRequestBytes = 8; // both requests of a search
constexpr int kCharMs = 20;

int WireMs(int bytes, int speed) {
    return speed > 0 ? (10 * 1000 * bytes + speed - 1) / speed : 0;
}

} // namespace

std::vector<int> SearchSpeeds(int current) {
    std::vector<int> speeds;
    if (current > 0)
        speeds.push_back(current);
    for (int speed : kSpeeds)
        if (speed != current)
            speeds.push_back(speed);
    return speeds;
}

TSearchRequest SearchRequestFor(int port, int linkType, int speed, const TJournalInfo* journal) {
    TSearchRequest request;
    request.port = port;
    request.linkType = linkType;
    request.speeds = SearchSpeeds(speed);
    // Only a register the library can address: it refuses any other without sending a frame,
    // and that refusal would read as an answer at every address.
    const int reg = journal ? journal->Reg : 0;
    if (reg >= 300001 && reg - (reg >= 400001 ? 400001 : 300001) <= 0xFFFF)
        request.countRegister = reg;
    return request;
}

int TSearchRequest::AnswerMs(int speed) {
    return std::max(30, WireMs(kRequestBytes + 2, speed) + 25);
}

QString TSearchResult::Text() const {
    if (!error.isEmpty())
        return error;
    if (found.empty())
        return QStringLiteral("Прибор не найден");
    QStringList lines;
    for (const TSearchHit& hit : found)
        lines << QStringLiteral("Прибор найден: адрес %1, скорость %2")
                     .arg(hit.address)
                     .arg(hit.speed);
    return lines.join(u'\n');
}

namespace {
// The most one try at `speed` may take: its answer time, the silence before its request, and
// 10 ms for the program and the port.
milliseconds TryBound(int speed) {
    return milliseconds(TSearchRequest::AnswerMs(speed) + WireMs(4, speed) + 10);
}
} // namespace

milliseconds TInstrumentSearch::Bound(const TSearchRequest& request) {
    return SearchPositionAt(request, 0).left;
}

TSearchPosition SearchPositionAt(const TSearchRequest& request, int done) {
    const int addresses = std::max(0, request.lastAddress - request.firstAddress + 1);
    const int speeds = int(request.speeds.size());
    TSearchPosition at;
    if (addresses == 0 || speeds == 0)
        return at;
    const int next = std::clamp(done, 0, addresses * speeds - 1);
    at.speed = request.speeds[std::size_t(next / addresses)];
    at.address = request.firstAddress + next % addresses;
    for (int k = 0; k < speeds; ++k) {
        const int tried = std::clamp(done - k * addresses, 0, addresses);
        at.left += (addresses - tried) * TryBound(request.speeds[std::size_t(k)]);
    }
    return at;
}

bool TInstrumentSearch::Ask(const TSearchRequest& request, int address) {
    int code = 0;
    if (request.countRegister > 0) {
        int value = 0;
        code = ReadCountRegister(m_lib, address, request.countRegister, value);
    } else {
        std::uint8_t buffer[256] = {};
        code = m_lib.GetDevName(address, buffer, 255);
    }
    // Silence and frames that were no answer of this address say nothing is there; any answer,
    // a refusal included, says something is.
    using namespace comm::ipc;
    return code != rcNoAnswer && code != rcCrc && code != rcLengthMismatch &&
           code != rcChannelClosed;
}

TSearchResult TInstrumentSearch::Run(const TSearchRequest& request, const TSearchProgress& progress,
                                     int answerMs, int retries) {
    TSearchResult result;
    const int addresses = std::max(0, request.lastAddress - request.firstAddress + 1);
    const int total = addresses * int(request.speeds.size());
    m_lib.Retries(0);
    m_lib.SetListenOut(false);
    for (int speed : request.speeds) {
        if (result.stopped || (!request.all && !result.found.empty()))
            break;
        if (!m_lib.Connect(request.port, speed, request.linkType)) {
            const QString detail = m_lib.LastErrorDetail();
            result.error = detail.isEmpty()
                               ? QStringLiteral("Не удалось открыть порт COM%1").arg(request.port)
                               : detail;
            break;
        }
        m_lib.SetTimeouts(TSearchRequest::AnswerMs(speed), kCharMs);
        for (int a = request.firstAddress; a <= request.lastAddress; ++a) {
            if (progress && progress(result.tries, total)) {
                result.stopped = true;
                break;
            }
            ++result.tries;
            if (Ask(request, a)) {
                result.found.push_back({a, speed});
                if (!request.all)
                    break;
            }
        }
        m_lib.Disconnect();
    }
    m_lib.SetListenOut(true);
    m_lib.Retries(retries);
    m_lib.SetTimeouts(answerMs, 0);
    if (progress && !result.stopped)
        progress(result.tries, total);
    return result;
}

} // namespace core
