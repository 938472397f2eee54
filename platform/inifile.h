#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <cstdint>
#include <optional>
#include <vector>

// INI files as the catalogue, main.ini and the port mappings use them.
//
// Reading rules:
//   - "[name]" opens a section; "key=value" lines belong to the last opened section and are split
//     at the first "="; blanks (and other characters up to U+0020) around section names, keys and
//     values are ignored; empty lines, lines starting with ";" and other lines without "=" are
//     ignored, as are keys before the first section.
//   - section and key names compare without regard to letter case; when a key occurs twice, the
//     first occurrence counts (sections of the same name are read as one).
//   - integers: optional blanks, optional sign, decimal digits, or hexadecimal digits after "$",
//     "0x" or "x" (either case); anything else yields the caller's default.
//   - text is windows-1251 unless the file begins with a UTF-8 or UTF-16 byte-order mark.
//
// The whole file is kept in memory as its original lines (bytes and decoded text) with a hash
// index of sections and keys. Writing replaces or adds single keys; every line that is not
// written keeps its bytes, so comments, unknown sections, the encoding and the line ends survive.
namespace platform {

// Integer text by the rules above; nullopt when the text is not an integer. Decimal values must
// fit 32 signed bits; hexadecimal values may use all 32 bits ("$FFFFFFFF" is -1).
std::optional<std::int32_t> parseIniInteger(QStringView text);

class IniFile {
public:
    enum class Encoding { Ansi, Utf8, Utf16LE, Utf16BE };

    IniFile() = default;
    explicit IniFile(const QByteArray& bytes) { setBytes(bytes); }

    // Reads a file whole. A missing or unreadable file reads as an empty one (false returned).
    bool load(const QString& path);
    void setBytes(const QByteArray& bytes);
    // The file's bytes with every write applied.
    QByteArray toBytes() const;
    // Writes toBytes() atomically (temporary file renamed over the target).
    bool save(const QString& path, QString* errorString = nullptr) const;

    Encoding encoding() const { return m_encoding; }

    bool sectionExists(QStringView section) const;
    bool valueExists(QStringView section, QStringView key) const;
    QString readString(QStringView section, QStringView key, const QString& def) const;
    std::int32_t readInteger(QStringView section, QStringView key, std::int32_t def) const;
    // A flag: an integer, non-zero means set; any other text yields the default.
    bool readBool(QStringView section, QStringView key, bool def) const;
    // Keys of a section as written, in file order, each once.
    QStringList keys(QStringView section) const;

    // Replaces the value of an existing key (keeping the text before the value) or adds the key
    // at the end of its section, or a new section at the end of the file. Line breaks in the value
    // become blanks, so a value can never add lines.
    void writeString(QStringView section, QStringView key, const QString& value);
    void writeInteger(QStringView section, QStringView key, std::int32_t value);

private:
    struct Line {
        QByteArray content; // bytes without the line end
        QByteArray end;     // the line end as found ("\r\n", "\n", empty on the last line)
        QString text;       // decoded content
    };
    struct Entry {
        int line = 0;
        QString key;
        QString value;
    };
    struct Section {
        QString name;
        std::vector<int> entries; // indices into m_entries, file order
        int lastLine = 0;         // last header or key line of the first occurrence
    };

    void splitLines(const QByteArray& body);
    void reindex();
    QByteArray encode(const QString& text) const;
    void insertLine(int at, const QString& text);
    const Entry* find(QStringView section, QStringView key) const;

    Encoding m_encoding = Encoding::Ansi;
    QByteArray m_bom;
    QByteArray m_newline = "\r\n";
    std::vector<Line> m_lines;
    std::vector<Entry> m_entries;
    std::vector<Section> m_sections;
    QHash<QString, int> m_sectionIndex; // folded section name -> m_sections
    QHash<QString, int> m_keyIndex;     // folded "section\nkey" -> m_entries
};

} // namespace platform
