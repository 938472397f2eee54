// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

namespace sim {

// Record layouts of the catalogue (numbering of the device description files).
enum class Layout { Plain = 0, Marlo = 1, Plain2 = 2, Plain3 = 3, Plain4 = 4, Quint = 5 };

[[nodiscard]] std::optional<Layout>
layoutFromName(const QString& name); // "tdPlain" ... "tdQuint" or 0..5
[[nodiscard]] QString layoutName(Layout layout);

// One journal: its archive number (byte 1 of a record request) and its records by device
// index. A record is the data of the function-65 answer (after the byte count), at most 251
// bytes; in the reader's reply buffer it starts at byte 2.
struct Journal {
    int number = 1;
    Layout layout = Layout::Plain;
    QList<QByteArray> records;
};

// An injected fault. It applies to requests that match all of its selectors; times counts how
// often it still fires (-1: always).
struct Fault {
    enum class Kind { NoAnswer, BadCrc, Exception, Delay, Truncate, Garbage, OtherAddress };
    Kind kind = Kind::NoAnswer;
    int function = 0; // 0: any function
    int journal = -1; // function 65: archive number, -1 any
    int record = -1;  // function 65: record index, -1 any
    int reg = -1;     // functions 3, 4, 6: first register address (zero-based), -1 any
    int times = -1;
    // Exception: exception code; Delay: milliseconds; Truncate/Garbage: bytes; OtherAddress: the
    // address the answer carries (0 = the next one)
    int value = 0;
};

[[nodiscard]] std::optional<Fault> parseFault(const QString& spec, QString* error = nullptr);

// Everything one simulated instrument knows: its address, its name (function 17), its input
// and holding registers (zero-based addresses), its journals and its fault plan.
class Instrument {
public:
    int address = 1;
    QString name = QStringLiteral("Simulated instrument");
    QMap<int, quint16> inputRegisters;
    QMap<int, quint16> holdingRegisters;
    QList<Journal> journals;
    QList<Fault> faults;

    // Reads a content file (format in sim/README.md). Returns nothing and sets error (with the
    // line number) when the file cannot be read or has a bad line.
    [[nodiscard]] static std::optional<Instrument> fromFile(const QString& path,
                                                            QString* error = nullptr);
    [[nodiscard]] static std::optional<Instrument> parse(const QString& text,
                                                         QString* error = nullptr);

    Journal* journal(int number);
    const Journal* journal(int number) const;
    Journal& addJournal(int number, Layout layout);

    // Sets a register by its reference number: 300001.. input, 400001.. holding.
    bool setRegister(int reference, quint16 value);

    // Record builders, in the byte positions the reader expects.
    [[nodiscard]] static QByteArray fixedRecord(Layout layout, quint32 time, quint16 id,
                                                quint32 newValue, quint32 before = 0);
    [[nodiscard]] static QByteArray
    textRecord(const QString& text); // windows-1251, at most 251 bytes
    [[nodiscard]] static QByteArray modeRecord(quint32 time, quint16 mode);

    // Appends count synthetic records: fixed-layout ones for the plain layouts (times a minute
    // apart from 2020-09-13 12:26:40, IDs cycling through ids, values counting up), text
    // records for tdMarlo and tdQuint, mode changes when modes is set.
    static void addSynthetic(Journal& journal, int count, const QList<int>& ids = {1},
                             bool modes = false);
};

} // namespace sim
