// SPDX-License-Identifier: MIT
#include "app/gui/views/wraptext.h"

#include <QFontMetrics>
#include <QPainter>

namespace views {
namespace {
constexpr int kFlags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;
constexpr int kUnbounded = 1 << 20;
} // namespace

QRect TextRect(const QRect& cell) {
    return cell.adjusted(kTextInset, kTextInset, -kTextInset, 0);
}

QString NormalizeLineBreaks(const QString& text) {
    if (!text.contains(QLatin1Char('\r')))
        return text;
    QString out = text;
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
}

int WrappedTextHeight(const QFont& font, const QRect& cell, const QString& text) {
    const QRect r = TextRect(cell);
    return QFontMetrics(font)
        .boundingRect(QRect(r.left(), r.top(), std::max(r.width(), 1), kUnbounded), kFlags,
                      NormalizeLineBreaks(text))
        .height();
}

void DrawWrappedText(QPainter* painter, const QRect& cell, const QString& text) {
    const QRect r = TextRect(cell);
    painter->drawText(QRect(r.left(), r.top(), std::max(r.width(), 1), kUnbounded), kFlags,
                      NormalizeLineBreaks(text));
}

} // namespace views
