// SPDX-License-Identifier: MIT
#include "platform/inifile.h"

#include "platform/codepage.h"
#include "platform/replacefile.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

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

namespace {

char16_t foldUnit(char16_t u) noexcept {
    if (u < 0x80)
        return u >= u'A' && u <= u'Z' ? static_cast<char16_t>(u + 32) : u;
    if (QChar::isSurrogate(u))
        return u;
    return QChar::toCaseFolded(u);
}

} // namespace

bool iniNamesEqual(QStringView a, QStringView b) noexcept {
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        const char16_t x = a[i].unicode();
        const char16_t y = b[i].unicode();
        if (x != y && foldUnit(x) != foldUnit(y))
            return false;
    }
    return true;
}

size_t iniFoldedHash(QStringView text, size_t seed) noexcept {
    std::uint64_t h = 0xcbf29ce484222325ull ^ seed;
    for (const QChar c : text)
        h = (h ^ foldUnit(c.unicode())) * 0x100000001b3ull;
    // Finaliser: spread every bit over the low bits that pick the bucket.
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return static_cast<size_t>(h);
}

namespace {

// The bytes of a regular file of at most kMaxFileSize bytes. The file is opened without
// blocking (a FIFO put in its place would otherwise wait for a writer) and checked by its
// descriptor, so what is checked is what is read.
IniFile::ReadResult readRegularFile(const QString& path, QByteArray& bytes) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return IniFile::ReadResult::Missing;
    struct stat st {};
    IniFile::ReadResult result = IniFile::ReadResult::Missing;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        result = st.st_size > IniFile::kMaxFileSize ? IniFile::ReadResult::TooLarge
                                                    : IniFile::ReadResult::Loaded;
        // A file that grows while it is read is cut at the limit plus one byte and refused.
        bytes.resize(result == IniFile::ReadResult::Loaded ? qsizetype(st.st_size) + 1 : 0);
        qsizetype got = 0;
        while (result == IniFile::ReadResult::Loaded) {
            if (got == bytes.size())
                bytes.resize(std::min<qsizetype>(got * 2, IniFile::kMaxFileSize + 1));
            const ssize_t n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                result = IniFile::ReadResult::Missing;
            else if (n == 0)
                break;
            else if ((got += n) > IniFile::kMaxFileSize)
                result = IniFile::ReadResult::TooLarge;
        }
        bytes.resize(result == IniFile::ReadResult::Loaded ? got : 0);
    }
    ::close(fd);
    return result;
}

} // namespace

IniFile::ReadResult IniFile::read(const QString& path) {
    QByteArray bytes;
    const ReadResult result = readRegularFile(path, bytes);
    setBytes(bytes);
    return result;
}

void IniFile::setBytes(const QByteArray& bytes) {
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
    m_body = bytes.mid(m_bom.size());
    splitLines();
    reindex();
}

void IniFile::splitLines() {
    m_lines.clear();
    m_own.clear();
    m_newline = LineEnd::CRLF;
    const bool wide = m_encoding == Encoding::Utf16LE || m_encoding == Encoding::Utf16BE;
    const qsizetype unit = wide ? 2 : 1;
    const qsizetype usable = m_body.size() - (m_body.size() % unit);
    const char* b = m_body.constData();
    const auto unitAt = [&](qsizetype pos) -> char16_t {
        if (!wide)
            return static_cast<unsigned char>(b[pos]);
        const auto lo =
            static_cast<unsigned char>(b[m_encoding == Encoding::Utf16LE ? pos : pos + 1]);
        const auto hi =
            static_cast<unsigned char>(b[m_encoding == Encoding::Utf16LE ? pos + 1 : pos]);
        return static_cast<char16_t>(lo | (hi << 8));
    };

    // Windows-1251 and UTF-16 map one unit to one character, so the text of a line sits at the
    // line's unit offset; UTF-8 lines are decoded one by one.
    m_text.clear();
    if (m_encoding == Encoding::Ansi) {
        m_text = fromCp1251(m_body);
    } else if (wide) {
        m_text.resize(usable / 2);
        for (qsizetype k = 0; k < usable; k += 2)
            m_text[k / 2] = QChar(unitAt(k));
    }

    // A line ends at LF, CR LF or a lone CR.
    bool newlineKnown = false;
    qsizetype start = 0;
    while (start < m_body.size()) {
        qsizetype pos = start;
        while (pos < usable && unitAt(pos) != u'\n' && unitAt(pos) != u'\r')
            pos += unit;
        Line line;
        line.byteOffset = start;
        line.byteLength = pos - start;
        if (pos < usable) {
            const bool cr = unitAt(pos) == u'\r';
            const bool crlf = cr && pos + unit < usable && unitAt(pos + unit) == u'\n';
            line.end = crlf ? LineEnd::CRLF : cr ? LineEnd::CR : LineEnd::LF;
            if (!newlineKnown) {
                m_newline = line.end;
                newlineKnown = true;
            }
            start = pos + (crlf ? 2 * unit : unit);
        } else {
            line.byteLength = m_body.size() - start;
            start = m_body.size();
        }
        if (m_encoding == Encoding::Utf8) {
            line.textOffset = m_text.size();
            m_text += QString::fromUtf8(m_body.constData() + line.byteOffset, line.byteLength);
            line.textLength = m_text.size() - line.textOffset;
        } else {
            line.textOffset = line.byteOffset / unit;
            line.textLength = std::min(line.byteLength / unit, m_text.size() - line.textOffset);
        }
        m_lines.push_back(line);
    }
}

QStringView IniFile::lineText(const Line& line) const {
    if (line.own >= 0)
        return m_own[static_cast<std::size_t>(line.own)].text;
    return QStringView(m_text).mid(line.textOffset, line.textLength);
}

QByteArrayView IniFile::lineBytes(const Line& line) const {
    if (line.own >= 0)
        return m_own[static_cast<std::size_t>(line.own)].bytes;
    return QByteArrayView(m_body.constData() + line.byteOffset, line.byteLength);
}

void IniFile::reindex() {
    m_entries.clear();
    m_sections.clear();
    m_index.clear();
    m_index.reserve(static_cast<qsizetype>(m_lines.size()));
    m_entries.reserve(m_lines.size());
    int current = -1;
    bool firstOccurrence = false;
    for (int li = 0; li < static_cast<int>(m_lines.size()); ++li) {
        const QStringView t = trimIni(lineText(m_lines[static_cast<std::size_t>(li)]));
        if (t.isEmpty() || t.front() == u';')
            continue;
        if (t.front() == u'[' && t.back() == u']' && t.size() >= 2) {
            const QStringView name = trimIni(t.mid(1, t.size() - 2));
            const auto it = m_index.constFind(Name{-1, name});
            if (it == m_index.cend()) {
                current = static_cast<int>(m_sections.size());
                m_sections.push_back({name, {}, li, li});
                m_index.insert(Name{-1, name}, current);
                firstOccurrence = true;
            } else {
                current = it.value();
                firstOccurrence = false;
                int& repeat = m_sections[static_cast<std::size_t>(current)].repeatLine;
                if (repeat < 0)
                    repeat = li;
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
        int& slot = m_index[Name{current, key}];
        if (slot != 0)
            continue; // the first occurrence of a key counts
        slot = static_cast<int>(m_entries.size()) + 1;
        m_entries.push_back({li, key, trimIni(t.mid(eq + 1))});
        sec.entries.push_back(slot - 1);
    }
}

QByteArray IniFile::encode(QStringView text) const {
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
    const QByteArray lf = encode(u"\n");
    const QByteArray crlf = encode(u"\r\n");
    const QByteArray cr = encode(u"\r");
    QByteArray out = m_bom;
    out.reserve(m_bom.size() + m_body.size() + 64);
    const bool wide = m_encoding == Encoding::Utf16LE || m_encoding == Encoding::Utf16BE;
    for (const Line& l : m_lines) {
        out += lineBytes(l);
        // The odd trailing byte of a UTF-16 file, when lines now follow it, gets a zero byte so
        // that what follows stays on 16-bit boundaries (and reads back as written).
        if (wide && (out.size() - m_bom.size()) % 2 != 0 &&
            (l.end != LineEnd::None || &l != &m_lines.back()))
            out += '\0';
        if (l.end == LineEnd::LF)
            out += lf;
        else if (l.end == LineEnd::CRLF)
            out += crlf;
        else if (l.end == LineEnd::CR)
            out += cr;
    }
    // An odd trailing byte of a UTF-16 file belongs to no line; keep it.
    if (!m_lines.empty() && m_lines.back().own < 0 && m_lines.back().end == LineEnd::None) {
        const Line& last = m_lines.back();
        out += m_body.mid(last.byteOffset + last.byteLength);
    }
    return out;
}

bool IniFile::save(const QString& path, QString* errorString) const {
    TReplaceFile f(path);
    if (f.open() && f.write(toBytes()) && f.commit())
        return true;
    if (errorString)
        *errorString = f.errorText();
    return false;
}

IniFile::Damage IniFile::damage() const {
    if (m_text.contains(QChar(0)))
        return Damage::Binary;
    if (trimIni(m_text).isEmpty())
        return Damage::Empty;
    const bool wide = m_encoding == Encoding::Utf16LE || m_encoding == Encoding::Utf16BE;
    if (wide && m_body.size() % 2 != 0)
        return Damage::Truncated;
    if (!m_lines.empty() && m_lines.back().end == LineEnd::None) {
        const QStringView last = trimIni(lineText(m_lines.back()));
        const bool usable = last.isEmpty() || last.front() == u';' || last.contains(u'=') ||
                            (last.front() == u'[' && last.back() == u']');
        if (!usable)
            return Damage::Truncated;
    }
    return Damage::None;
}

int IniFile::findSection(QStringView section) const {
    return m_index.value(Name{-1, trimIni(section)}, -1);
}

const IniFile::Entry* IniFile::find(QStringView section, QStringView key) const {
    const int s = findSection(section);
    if (s < 0)
        return nullptr;
    const int slot = m_index.value(Name{s, trimIni(key)}, 0);
    return slot > 0 ? &m_entries[static_cast<std::size_t>(slot - 1)] : nullptr;
}

bool IniFile::sectionExists(QStringView section) const {
    return findSection(section) >= 0;
}

bool IniFile::valueExists(QStringView section, QStringView key) const {
    return find(section, key) != nullptr;
}

QString IniFile::readString(QStringView section, QStringView key, const QString& def) const {
    const Entry* e = find(section, key);
    return e ? e->value.toString() : def;
}

std::optional<QStringView> IniFile::value(QStringView section, QStringView key) const {
    const Entry* e = find(section, key);
    return e ? std::optional<QStringView>(e->value) : std::nullopt;
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
    const int s = findSection(section);
    if (s < 0)
        return out;
    for (const int ei : m_sections[static_cast<std::size_t>(s)].entries)
        out.append(m_entries[static_cast<std::size_t>(ei)].key.toString());
    return out;
}

QStringList IniFile::sections() const {
    QStringList names;
    names.reserve(static_cast<qsizetype>(m_sections.size()));
    for (const Section& s : m_sections)
        names << s.name.toString();
    return names;
}

int IniFile::sectionLine(QStringView section) const {
    const int s = findSection(section);
    return s < 0 ? 0 : m_sections[static_cast<std::size_t>(s)].firstLine + 1;
}

int IniFile::keyLine(QStringView section, QStringView key) const {
    const Entry* e = find(section, key);
    return e ? e->line + 1 : 0;
}

int IniFile::repeatedSectionLine(QStringView section) const {
    const int s = findSection(section);
    return s < 0 ? 0 : m_sections[static_cast<std::size_t>(s)].repeatLine + 1;
}

void IniFile::replaceLine(int index, const QString& text) {
    Line& line = m_lines[static_cast<std::size_t>(index)];
    if (line.own < 0) {
        line.own = static_cast<int>(m_own.size());
        m_own.push_back({});
    }
    m_own[static_cast<std::size_t>(line.own)] = {encode(text), text};
}

void IniFile::insertLine(int at, const QString& text) {
    if (at > 0 && at == static_cast<int>(m_lines.size()) && m_lines.back().end == LineEnd::None)
        m_lines.back().end = m_newline;
    Line line;
    line.end = m_newline;
    line.own = static_cast<int>(m_own.size());
    m_own.push_back({encode(text), text});
    m_lines.insert(m_lines.begin() + at, line);
}

void IniFile::writeString(QStringView section, QStringView key, const QString& value) {
    QString v = value;
    v.replace(u'\r', u' ').replace(u'\n', u' ');
    const QString sectionName = trimIni(section).toString();
    const QString keyName = trimIni(key).toString();

    if (const Entry* e = find(sectionName, keyName)) {
        // Keep everything up to the "=" and the blanks after it; only the value changes.
        const QStringView text = lineText(m_lines[static_cast<std::size_t>(e->line)]);
        qsizetype p = text.indexOf(u'=') + 1;
        while (p < text.size() && text[p].unicode() <= 0x20)
            ++p;
        replaceLine(e->line, text.left(p).toString() + v);
    } else if (const int s = findSection(sectionName); s >= 0) {
        insertLine(m_sections[static_cast<std::size_t>(s)].lastLine + 1, keyName + u'=' + v);
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
