#include "platform/inifile.h"

#include "platform/codepage.h"

#include <QFile>
#include <QSaveFile>

#include <limits>

namespace platform {
namespace {

// Trims characters up to U+0020 at both ends (not the no-break space, which is text).
QStringView trimIni(QStringView s) {
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && s[b].unicode() <= 0x20)
        ++b;
    while (e > b && s[e - 1].unicode() <= 0x20)
        --e;
    return s.mid(b, e - b);
}

QString fold(QStringView s) {
    return s.toString().toCaseFolded();
}

QString compositeKey(QStringView foldedSection, QStringView key) {
    QString k;
    k.reserve(foldedSection.size() + 1 + key.size());
    k.append(foldedSection);
    k.append(u'\n');
    k.append(key.toString().toCaseFolded());
    return k;
}

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

} // namespace

std::optional<std::int32_t> parseIniInteger(QStringView text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text[i] == u' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    bool hex = false;
    if (i < n && text[i] == u'$') {
        hex = true;
        ++i;
    } else if (i < n && (text[i] == u'x' || text[i] == u'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        hex = true;
        i += 2;
    }
    if (i >= n)
        return std::nullopt;

    std::uint64_t value = 0;
    const std::uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    for (; i < n; ++i) {
        const char16_t c = text[i].unicode();
        int d = -1;
        if (hex)
            d = hexDigit(c);
        else if (c >= u'0' && c <= u'9')
            d = c - u'0';
        if (d < 0)
            return std::nullopt;
        value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(d);
        if (value > limit)
            return std::nullopt;
    }
    // Two's complement wrap: hexadecimal texts cover all 32 bits, "-$10" is -16.
    std::uint32_t bits = static_cast<std::uint32_t>(value);
    if (negative)
        bits = 0u - bits;
    return static_cast<std::int32_t>(bits);
}

bool IniFile::load(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        setBytes({});
        return false;
    }
    setBytes(f.readAll());
    return true;
}

void IniFile::setBytes(const QByteArray& bytes) {
    m_lines.clear();
    m_bom.clear();
    m_encoding = Encoding::Ansi;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        m_encoding = Encoding::Utf8;
        m_bom = bytes.left(3);
    } else if (bytes.startsWith("\xFF\xFE")) {
        m_encoding = Encoding::Utf16LE;
        m_bom = bytes.left(2);
    } else if (bytes.startsWith("\xFE\xFF")) {
        m_encoding = Encoding::Utf16BE;
        m_bom = bytes.left(2);
    }
    splitLines(bytes.mid(m_bom.size()));
    reindex();
}

void IniFile::splitLines(const QByteArray& body) {
    const bool wide = m_encoding == Encoding::Utf16LE || m_encoding == Encoding::Utf16BE;
    const int unit = wide ? 2 : 1;
    const auto unitAt = [&](qsizetype pos) -> char16_t {
        if (!wide)
            return static_cast<unsigned char>(body[pos]);
        const auto a = static_cast<unsigned char>(body[pos]);
        const auto b = static_cast<unsigned char>(body[pos + 1]);
        return m_encoding == Encoding::Utf16LE ? char16_t(a | (b << 8)) : char16_t((a << 8) | b);
    };
    const auto decode = [&](QByteArrayView bytes) -> QString {
        switch (m_encoding) {
        case Encoding::Ansi:
            return fromCp1251(bytes);
        case Encoding::Utf8:
            return QString::fromUtf8(bytes);
        case Encoding::Utf16LE:
        case Encoding::Utf16BE: {
            QString s(bytes.size() / 2, Qt::Uninitialized);
            for (qsizetype k = 0; k + 1 < bytes.size(); k += 2) {
                const auto a = static_cast<unsigned char>(bytes[k]);
                const auto b = static_cast<unsigned char>(bytes[k + 1]);
                s[k / 2] = QChar(m_encoding == Encoding::Utf16LE ? char16_t(a | (b << 8))
                                                                 : char16_t((a << 8) | b));
            }
            return s;
        }
        }
        return {};
    };

    bool newlineKnown = false;
    m_newline = "\r\n";
    qsizetype start = 0;
    const qsizetype usable = body.size() - (body.size() % unit);
    while (start < body.size()) {
        qsizetype pos = start;
        while (pos < usable && unitAt(pos) != u'\n')
            pos += unit;
        Line line;
        if (pos < usable) {
            qsizetype contentEnd = pos;
            if (contentEnd > start && unitAt(contentEnd - unit) == u'\r')
                contentEnd -= unit;
            line.content = body.mid(start, contentEnd - start);
            line.end = body.mid(contentEnd, pos + unit - contentEnd);
            if (!newlineKnown) {
                m_newline = (pos + unit - contentEnd) == unit ? "\n" : "\r\n";
                newlineKnown = true;
            }
            start = pos + unit;
        } else {
            line.content = body.mid(start);
            start = body.size();
        }
        line.text = decode(line.content);
        m_lines.push_back(std::move(line));
    }
}

void IniFile::reindex() {
    m_entries.clear();
    m_sections.clear();
    m_sectionIndex.clear();
    m_keyIndex.clear();
    int current = -1;
    bool firstOccurrence = false;
    QString currentFolded;
    for (int li = 0; li < static_cast<int>(m_lines.size()); ++li) {
        const QStringView t = trimIni(m_lines[static_cast<std::size_t>(li)].text);
        if (t.isEmpty() || t.front() == u';')
            continue;
        if (t.front() == u'[' && t.back() == u']' && t.size() >= 2) {
            const QStringView name = trimIni(t.mid(1, t.size() - 2));
            currentFolded = fold(name);
            auto it = m_sectionIndex.constFind(currentFolded);
            if (it == m_sectionIndex.cend()) {
                current = static_cast<int>(m_sections.size());
                m_sections.push_back({name.toString(), {}, li});
                m_sectionIndex.insert(currentFolded, current);
                firstOccurrence = true;
            } else {
                current = it.value();
                firstOccurrence = false;
            }
            continue;
        }
        if (current < 0)
            continue;
        const qsizetype eq = t.indexOf(u'=');
        if (eq <= 0)
            continue;
        const QStringView key = trimIni(t.left(eq));
        if (key.isEmpty())
            continue;
        Section& sec = m_sections[static_cast<std::size_t>(current)];
        if (firstOccurrence)
            sec.lastLine = li;
        const QString composite = compositeKey(currentFolded, key);
        if (m_keyIndex.contains(composite))
            continue;
        const int ei = static_cast<int>(m_entries.size());
        m_entries.push_back({li, key.toString(), trimIni(t.mid(eq + 1)).toString()});
        m_keyIndex.insert(composite, ei);
        sec.entries.push_back(ei);
    }
}

QByteArray IniFile::encode(const QString& text) const {
    switch (m_encoding) {
    case Encoding::Ansi:
        return toCp1251(text);
    case Encoding::Utf8:
        return text.toUtf8();
    case Encoding::Utf16LE:
    case Encoding::Utf16BE: {
        QByteArray out;
        out.reserve(text.size() * 2);
        for (const QChar c : text) {
            const char lo = static_cast<char>(c.unicode() & 0xFF);
            const char hi = static_cast<char>(c.unicode() >> 8);
            if (m_encoding == Encoding::Utf16LE) {
                out.append(lo);
                out.append(hi);
            } else {
                out.append(hi);
                out.append(lo);
            }
        }
        return out;
    }
    }
    return {};
}

QByteArray IniFile::toBytes() const {
    QByteArray out = m_bom;
    for (const Line& l : m_lines) {
        out += l.content;
        out += l.end;
    }
    return out;
}

bool IniFile::save(const QString& path, QString* errorString) const {
    QSaveFile f(path);
    bool ok = f.open(QIODevice::WriteOnly);
    if (ok) {
        const QByteArray bytes = toBytes();
        ok = f.write(bytes) == bytes.size();
        ok = ok && f.commit();
    }
    if (!ok) {
        if (errorString)
            *errorString = f.errorString();
        f.cancelWriting();
    }
    return ok;
}

const IniFile::Entry* IniFile::find(QStringView section, QStringView key) const {
    const auto it = m_keyIndex.constFind(compositeKey(fold(trimIni(section)), trimIni(key)));
    return it == m_keyIndex.cend() ? nullptr : &m_entries[static_cast<std::size_t>(it.value())];
}

bool IniFile::sectionExists(QStringView section) const {
    return m_sectionIndex.contains(fold(trimIni(section)));
}

bool IniFile::valueExists(QStringView section, QStringView key) const {
    return find(section, key) != nullptr;
}

QString IniFile::readString(QStringView section, QStringView key, const QString& def) const {
    const Entry* e = find(section, key);
    return e ? e->value : def;
}

std::int32_t IniFile::readInteger(QStringView section, QStringView key, std::int32_t def) const {
    const Entry* e = find(section, key);
    if (!e)
        return def;
    return parseIniInteger(e->value).value_or(def);
}

bool IniFile::readBool(QStringView section, QStringView key, bool def) const {
    const Entry* e = find(section, key);
    if (!e)
        return def;
    const auto v = parseIniInteger(e->value);
    return v ? *v != 0 : def;
}

QStringList IniFile::keys(QStringView section) const {
    QStringList out;
    const auto it = m_sectionIndex.constFind(fold(trimIni(section)));
    if (it == m_sectionIndex.cend())
        return out;
    for (const int ei : m_sections[static_cast<std::size_t>(it.value())].entries)
        out.append(m_entries[static_cast<std::size_t>(ei)].key);
    return out;
}

void IniFile::insertLine(int at, const QString& text) {
    const QByteArray nl = encode(QString::fromLatin1(m_newline));
    if (at > 0 && at == static_cast<int>(m_lines.size()) && m_lines.back().end.isEmpty())
        m_lines.back().end = nl;
    Line line;
    line.text = text;
    line.content = encode(text);
    line.end = nl;
    m_lines.insert(m_lines.begin() + at, std::move(line));
}

void IniFile::writeString(QStringView section, QStringView key, const QString& value) {
    QString v = value;
    v.replace(u'\r', u' ').replace(u'\n', u' ');
    const QString sectionName = trimIni(section).toString();
    const QString keyName = trimIni(key).toString();

    if (const Entry* found = find(sectionName, keyName)) {
        Entry& e = m_entries[static_cast<std::size_t>(found - m_entries.data())];
        Line& line = m_lines[static_cast<std::size_t>(e.line)];
        // Keep everything up to the "=" and the blanks after it; only the value changes.
        qsizetype p = line.text.indexOf(u'=') + 1;
        while (p < line.text.size() && line.text[p].unicode() <= 0x20)
            ++p;
        line.text = line.text.left(p) + v;
        line.content = encode(line.text);
        e.value = trimIni(v).toString();
        return;
    }

    const auto sit = m_sectionIndex.constFind(fold(sectionName));
    if (sit != m_sectionIndex.cend()) {
        insertLine(m_sections[static_cast<std::size_t>(sit.value())].lastLine + 1,
                   keyName + u'=' + v);
    } else {
        insertLine(static_cast<int>(m_lines.size()), u'[' + sectionName + u']');
        insertLine(static_cast<int>(m_lines.size()), keyName + u'=' + v);
    }
    reindex();
}

void IniFile::writeInteger(QStringView section, QStringView key, std::int32_t value) {
    writeString(section, key, QString::number(value));
}

} // namespace platform
