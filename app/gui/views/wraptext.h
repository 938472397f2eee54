// SPDX-License-Identifier: MIT
#pragma once

#include <QFont>
#include <QRect>
#include <QString>

class QPainter;

// Word-wrapped cell text of the grouped grid: lines break at CR, LF or CR LF and at word
// boundaries within the width; the text rectangle is the cell moved in by 2 pixels at the left,
// the top and the right.
namespace views {

inline constexpr int kTextInset = 2;
// Pixels a row keeps below its tallest text.
inline constexpr int kRowSlack = 5;

QRect TextRect(const QRect& cell);
// The text with every CR LF or lone CR turned into LF, the line break Qt's text drawing knows.
QString NormalizeLineBreaks(const QString& text);
// Height of the text word-wrapped to the width of `cell`'s text rectangle.
int WrappedTextHeight(const QFont& font, const QRect& cell, const QString& text);
// Draws the text word-wrapped, left-aligned, from the top left of the text rectangle.
void DrawWrappedText(QPainter* painter, const QRect& cell, const QString& text);

} // namespace views
