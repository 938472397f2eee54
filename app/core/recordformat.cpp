// SPDX-License-Identifier: MIT
#include "app/core/recordformat.h"

#include "app/core/timeformats.h"
#include "platform/codepage.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace core {
namespace {

std::uint8_t ByteAt(TReplyView reply, int offset) {
    return offset >= 0 && static_cast<std::size_t>(offset) < reply.size()
               ? reply[static_cast<std::size_t>(offset)]
               : 0;
}

// The text before a separator found at `pos`, without the one character just before it (the blank
// that normally precedes the separator); empty when the separator is missing.
QString BeforeSeparator(const QString& text, qsizetype pos) {
    return pos > 0 ? text.left(pos - 1) : QString();
}

} // namespace

std::uint16_t ReadBE16(TReplyView reply, int offset) {
    return static_cast<std::uint16_t>(ByteAt(reply, offset) << 8 | ByteAt(reply, offset + 1));
}

std::uint32_t ReadBE32(TReplyView reply, int offset) {
    return std::uint32_t(ReadBE16(reply, offset)) << 16 | ReadBE16(reply, offset + 2);
}

bool HasBeforeValue(TTypeDev layout) {
    return layout == tdPlain3 || layout == tdPlain4;
}

TFixedRecord ParseFixedRecord(TTypeDev layout, TReplyView reply, int requestIndex) {
    TFixedRecord r;
    r.time = ReadBE32(reply, 2);
    switch (layout) {
    case tdPlain2:
        r.id = ReadBE16(reply, 8);
        r.value = ReadBE32(reply, 10);
        break;
    case tdPlain3:
        r.id = ReadBE16(reply, 6);
        r.before = ReadBE32(reply, 8);
        r.value = ReadBE32(reply, 12);
        break;
    case tdPlain4:
        r.id = ReadBE16(reply, 8);
        r.value = ReadBE32(reply, 10);
        r.before = ReadBE32(reply, 14);
        break;
    default: // tdPlain
        r.id = ReadBE16(reply, 6);
        r.value = ReadBE32(reply, 8);
        break;
    }
    if ((layout == tdPlain2 || layout == tdPlain4) && requestIndex == 0)
        r.id = 65535;
    return r;
}

QString TextFromReply(TReplyView reply) {
    if (reply.size() < 2)
        return {};
    // The buffer holds at most 254 characters after the length byte; a length of 255 (or any
    // length past a shorter buffer) is cut to what is there.
    const std::size_t available = std::min<std::size_t>(reply.size(), kReplySize) - 2;
    const std::size_t length = std::min<std::size_t>(reply[1], available);
    return platform::fromCp1251(QByteArrayView(reply.data() + 2, qsizetype(length)));
}

QString TrimControls(const QString& text) {
    qsizetype first = 0, last = text.size();
    while (first < last && text[first].unicode() <= 0x20)
        ++first;
    while (last > first && text[last - 1].unicode() <= 0x20)
        --last;
    return text.mid(first, last - first);
}

TTextFields SplitMarloText(const QString& text) {
    TTextFields f;
    f.time = text.mid(1, 17);
    QString rest = text.mid(19);
    const qsizetype colon = rest.indexOf(QLatin1Char(':'));
    f.name = BeforeSeparator(rest, colon);
    rest = rest.mid(colon + 2); // without ":": its first character only
    const qsizetype arrow = rest.indexOf(QStringLiteral("->"));
    f.before = BeforeSeparator(rest, arrow);
    f.value = rest.mid(arrow + 3); // without "->": its first two characters only
    return f;
}

TTextFields SplitQuintText(const QString& text) {
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    QStringList lines = text.split(lineBreak);
    if (!lines.isEmpty() && lines.last().isEmpty()) // a final line break ends the last line
        lines.removeLast();
    TTextFields f;
    if (lines.size() >= 1)
        f.time = TrimControls(lines[0]);
    if (lines.size() >= 2) {
        f.name = TrimControls(lines[1]);
        if (f.name.endsWith(QLatin1Char(':')))
            f.name.chop(1);
    }
    if (lines.size() >= 3) {
        const QString& line = lines[2];
        const qsizetype p = line.indexOf(QStringLiteral(" > "));
        f.before = p >= 0 ? TrimControls(line.left(p)) : QString();
        f.value = TrimControls(line.mid(p + 3)); // without " > ": its first two characters only
    }
    return f;
}

QString ModeText(std::uint16_t code) {
    switch (code) {
    case 0:
        return QStringLiteral("рабочий");
    case 1:
        return QStringLiteral("сервис");
    case 2:
        return QStringLiteral("настройка");
    case 3:
        return QStringLiteral("тест");
    default:
        return {};
    }
}

QString ReplaceFirstChar(QString text, QChar from, QChar to) {
    const qsizetype i = text.indexOf(from);
    if (i >= 0)
        text[i] = to;
    return text;
}

QString FormatFloat(double value) {
    if (std::isnan(value))
        return QStringLiteral("NaN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("INF") : QStringLiteral("-INF");
    // Never the locale's digits, minus sign or separators: ASCII digits, "-" and "." always.
    return QString::number(value, 'f', 7);
}

std::optional<TFormattedValue> FormatValue(std::int32_t atype, std::uint32_t raw,
                                           const std::vector<TValueStr>* strs) {
    const auto s32 = static_cast<std::int32_t>(raw);
    switch (atype) {
    case dtSWord:
        return TFormattedValue{QString::number(static_cast<std::int16_t>(raw)), s32};
    case dtFloat: {
        float f;
        static_assert(sizeof f == sizeof raw);
        std::memcpy(&f, &raw, sizeof f);
        return TFormattedValue{FormatFloat(f), double(f)};
    }
    case dtDateTime: {
        const double dt = UnixToDateTime(raw);
        return TFormattedValue{LocaleDateTimeText(dt), DateTimeToQDateTime(dt)};
    }
    case dtSByte: {
        const int v = static_cast<std::int8_t>(raw & 0xFF);
        return TFormattedValue{QString::number(v), v};
    }
    case dtUByte: {
        const unsigned v = raw & 0xFF;
        return TFormattedValue{QString::number(v), v};
    }
    case dtUWord:
        return TFormattedValue{QString::number(raw & 0xFFFF), s32};
    case dtLongWord:
        return TFormattedValue{QString::number(raw), raw};
    case dtList: {
        if (!strs)
            return std::nullopt;
        const auto it = std::find_if(strs->begin(), strs->end(),
                                     [&](const TValueStr& v) { return v.ID == s32; });
        QString text = it != strs->end() ? it->Value : QString();
        if (it == strs->end() || text == QLatin1String("?"))
            text = QStringLiteral("* нет описания для индекса [%1]").arg(s32);
        return TFormattedValue{text, text};
    }
    default:
        return TFormattedValue{QString::number(s32), s32};
    }
}

std::optional<double> GroupValueNumber(std::int32_t atype, const QVariant& value) {
    const auto bits = static_cast<std::uint32_t>(value.toLongLong());
    switch (atype) {
    case dtSWord:
        return static_cast<std::int16_t>(bits & 0xFFFF);
    case dtFloat:
        return value.toDouble();
    case dtDateTime:
    case dtList:
        return std::nullopt;
    case dtSByte:
        return static_cast<std::int8_t>(bits & 0xFF);
    case dtUWord:
        // The event keeps all 32 bits; the list shows the low 16 bits unsigned.
        return bits & 0xFFFF;
    case dtLongWord:
        // A record type's longword is stored unsigned. An ID without record type makes a longword
        // group of signed values, which the list shows signed.
        if (value.metaType().id() == QMetaType::Int)
            return static_cast<std::int32_t>(bits);
        return bits;
    default:
        return static_cast<std::int32_t>(bits);
    }
}

QString GroupValueText(std::int32_t atype, const QVariant& value) {
    switch (atype) {
    case dtFloat:
        return FormatFloat(value.toDouble());
    case dtDateTime:
        return LocaleDateTimeText(value.metaType().id() == QMetaType::QDateTime
                                      ? QDateTimeToDateTime(value.toDateTime())
                                      : value.toDouble());
    case dtList:
        return value.toString();
    default:
        return QString::number(static_cast<qint64>(*GroupValueNumber(atype, value)));
    }
}

QString TypeName(std::int32_t atype) {
    switch (atype) {
    case dtSWord:
        return QStringLiteral("sword");
    case dtSLongWord:
        return QStringLiteral("slongword");
    case dtFloat:
        return QStringLiteral("float");
    case dtSByte:
        return QStringLiteral("sbyte");
    case dtUByte:
        return QStringLiteral("ubyte");
    case dtUWord:
        return QStringLiteral("uword");
    case dtLongWord:
        return QStringLiteral("longword");
    case dtList:
        return QStringLiteral("список");
    default:
        return QStringLiteral("целое");
    }
}

} // namespace core
