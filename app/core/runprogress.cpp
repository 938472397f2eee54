// SPDX-License-Identifier: MIT
#include "app/core/runprogress.h"

#include <algorithm>

namespace core {
namespace {
// The rate needs records seen over at least this long.
constexpr qint64 kMinSpanMs = 1000;
constexpr qint64 kSampleMs = 50;
} // namespace

void TRunProgress::Start(int total) {
    m_total = std::max(total, 0);
    m_done = 0;
    m_samples.clear();
    m_samples.emplace_back(m_clock(), 0);
}

void TRunProgress::Update(int done) {
    m_done = std::clamp(done, 0, m_total);
    const qint64 now = m_clock();
    // Samples at least kSampleMs apart are enough for the rate: a fast line keeps a short list.
    const std::size_t n = m_samples.size();
    if (n >= 2 && now - m_samples[n - 2].first < kSampleMs)
        m_samples.back() = {now, m_done};
    else
        m_samples.emplace_back(now, m_done);
    // Keep one sample at or before the window's start, so that the window is always spanned.
    while (m_samples.size() > 2 && m_samples[1].first <= now - kRateWindowMs)
        m_samples.pop_front();
}

QString TRunProgress::Duration(qint64 ms) {
    const qint64 s = (std::max<qint64>(ms, 0) + 999) / 1000;
    const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    if (s >= 3600)
        return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(two(s / 60 % 60), two(s % 60));
    return QStringLiteral("%1:%2").arg(s / 60).arg(two(s % 60));
}

QString TRunProgress::Text() const {
    if (m_total <= 0)
        return {};
    QString text = QStringLiteral("Запись %1 из %2 · %3 %")
                       .arg(m_done)
                       .arg(m_total)
                       .arg(qint64(m_done) * 100 / m_total);
    if (m_done >= m_total || m_samples.size() < 2)
        return text;
    const auto& [t0, d0] = m_samples.front();
    const auto& [t1, d1] = m_samples.back();
    if (t1 - t0 < kMinSpanMs || d1 <= d0)
        return text;
    const double msPerRecord = double(t1 - t0) / (d1 - d0);
    return text + QStringLiteral(" · осталось ≈ ") +
           Duration(qint64(msPerRecord * (m_total - m_done)));
}

} // namespace core
