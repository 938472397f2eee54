// SPDX-License-Identifier: MIT
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
//   - a line ends at LF, CR LF or a lone CR (files saved by old Mac tools use CR alone);
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
// written keeps its bytes, so comments, unknown sections, the encoding and each line's end
// survive; added lines take the file's first line end.
namespace platform {

// Integer text by the rules above; nullopt when the text is not an integer. Decimal values must
// fit 32 signed bits; hexadecimal values may use all 32 bits ("$FFFFFFFF" is -1).
std::optional<std::int32_t> parseIniInteger(QStringView text);

// Names compare without letter case: each UTF-16 unit by its case folding (surrogates as they
// are). The hash is consistent with that comparison.
bool iniNamesEqual(QStringView a, QStringView b) noexcept;
size_t iniFoldedHash(QStringView text, size_t seed) noexcept;

class IniFile {
public:
    enum class Encoding { Ansi, Utf8, Utf16LE, Utf16BE };

    IniFile() = default;
    explicit IniFile(const QByteArray& bytes) { setBytes(bytes); }

    // Largest file read; INI files of the catalogue are a few kilobytes.
    static constexpr qint64 kMaxFileSize = 16 * 1024 * 1024;

    enum class ReadResult { Loaded, Missing, TooLarge };
    // Reads a file whole. A missing or unreadable file and anything that is not a regular file
    // (a folder, a FIFO, a device such as /dev/zero) read as an empty file (Missing), without
    // blocking; so does a file larger than kMaxFileSize (TooLarge), which is not read at all.
    ReadResult read(const QString& path);
    bool load(const QString& path) { return read(path) == ReadResult::Loaded; }
    void setBytes(const QByteArray& bytes);
    // The file's bytes with every write applied.
    QByteArray toBytes() const;
    // Writes toBytes() so that a failure leaves the file as it was (see TReplaceFile: a
    // temporary file renamed over it, or in place when its folder refuses new files). On failure
    // `errorString` gets the reason.
    [[nodiscard]] bool save(const QString& path, QString* errorString = nullptr) const;

    Encoding encoding() const { return m_encoding; }

    // Signs that a file was damaged (a text file never holds NUL characters, and a file cut short
    // ends in a line that has no line end and that the reader cannot use). An empty file is Empty.
    enum class Damage { None, Empty, Binary, Truncated };
    Damage damage() const;

    bool sectionExists(QStringView section) const;
    bool valueExists(QStringView section, QStringView key) const;
    QString readString(QStringView section, QStringView key, const QString& def) const;
    // The value of a key without copying it; valid until the next write. nullopt when missing.
    std::optional<QStringView> value(QStringView section, QStringView key) const;
    std::int32_t readInteger(QStringView section, QStringView key, std::int32_t def) const;
    // A flag: an integer, non-zero means set; any other text yields the default.
    bool readBool(QStringView section, QStringView key, bool def) const;
    // Keys of a section as written, in file order, each once.
    QStringList keys(QStringView section) const;
    // Section names as first written, in file order, each once.
    QStringList sections() const;
    // Line numbers from 1, for messages about a file's content: the first header of a section,
    // the line of a key (its first occurrence), and a second header of a section opened twice
    // (whose keys are read as the first's). 0 when there is none.
    int sectionLine(QStringView section) const;
    int keyLine(QStringView section, QStringView key) const;
    int repeatedSectionLine(QStringView section) const;

    // Replaces the value of an existing key (keeping the text before the value) or adds the key
    // at the end of its section, or a new section at the end of the file. Line breaks in the value
    // become blanks, so a value can never add lines.
    void writeString(QStringView section, QStringView key, const QString& value);
    void writeInteger(QStringView section, QStringView key, std::int32_t value);

private:
    // How a line ends; a file may mix them, and each line keeps its own.
    enum class LineEnd : std::uint8_t { None, LF, CRLF, CR };
    // A line is kept as offsets into the file's bytes and decoded text; once written or added it
    // has its own storage. Index entries are views into the lines' text.
    struct Line {
        qsizetype byteOffset = 0;
        qsizetype byteLength = 0;
        qsizetype textOffset = 0;
        qsizetype textLength = 0;
        LineEnd end = LineEnd::None;
        int own = -1; // index into m_own
    };
    struct Owned {
        QByteArray bytes;
        QString text;
    };
    struct Entry {
        int line = 0;
        QStringView key;
        QStringView value;
    };
    struct Section {
        QStringView name;
        std::vector<int> entries; // indices into m_entries, file order
        int lastLine = 0;         // last header or key line of the first occurrence
        int firstLine = 0;        // its first header
        int repeatLine = -1;      // its second header, when it is opened again
    };
    // A section name (section -1) or a key of a section; compares without letter case.
    struct Name {
        int section = -1;
        QStringView text;
        friend bool operator==(const Name& a, const Name& b) noexcept {
            return a.section == b.section && iniNamesEqual(a.text, b.text);
        }
        friend size_t qHash(const Name& n, size_t seed) noexcept {
            return iniFoldedHash(n.text, seed ^ static_cast<size_t>(n.section + 1));
        }
    };

    void splitLines();
    void reindex();
    QStringView lineText(const Line& line) const;
    QByteArrayView lineBytes(const Line& line) const;
    QByteArray encode(QStringView text) const;
    void insertLine(int at, const QString& text);
    void replaceLine(int index, const QString& text);
    int findSection(QStringView section) const;
    const Entry* find(QStringView section, QStringView key) const;

    Encoding m_encoding = Encoding::Ansi;
    QByteArray m_bom;
    LineEnd m_newline = LineEnd::CRLF; // for added lines: the first line end of the file
    QByteArray m_body;                 // the file without its byte-order mark
    QString m_text;                    // decoded text of the original lines
    std::vector<Owned> m_own;
    std::vector<Line> m_lines;
    std::vector<Entry> m_entries;
    std::vector<Section> m_sections;
    QHash<Name, int> m_index; // sections -> m_sections, keys -> m_entries
};

} // namespace platform
