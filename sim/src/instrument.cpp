// SPDX-License-Identifier: MIT
#include "sim/instrument.h"

#include "platform/codepage.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QStringList>
#include <QTimeZone>

#include <bit>
#include <cmath>

namespace sim {
namespace {

void putBe(QByteArray& b, int pos, quint32 v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        b[pos + i] = char((v >> (8 * (bytes - 1 - i))) & 0xFF);
}

// Splits a line into words; a double-quoted word may hold blanks and the escapes \" \\ \r \n
// \t. Returns false on an unterminated quote.
bool tokenize(const QString& line, QStringList* out) {
    QString cur;
    bool inWord = false, quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted) {
            if (c == u'\\' && i + 1 < line.size()) {
                const QChar e = line[++i];
                cur += e == u'n' ? u'\n' : e == u'r' ? u'\r' : e == u't' ? u'\t' : e;
            } else if (c == u'"') {
                quoted = false;
            } else {
                cur += c;
            }
        } else if (c == u'"') {
            quoted = inWord = true;
        } else if (c.isSpace()) {
            if (inWord)
                out->append(cur);
            cur.clear();
            inWord = false;
        } else {
            cur += c;
            inWord = true;
        }
    }
    if (quoted)
        return false;
    if (inWord)
        out->append(cur);
    return true;
}

std::optional<qint64> parseInt(const QString& s) {
    bool ok = false;
    qint64 v = 0;
    if (s.startsWith(u"0x", Qt::CaseInsensitive))
        v = s.mid(2).toLongLong(&ok, 16);
    else if (s.startsWith(u"-0x", Qt::CaseInsensitive))
        v = -s.mid(3).toLongLong(&ok, 16);
    else
        v = s.toLongLong(&ok, 10);
    return ok ? std::optional(v) : std::nullopt;
}

// Seconds since 1970-01-01 00:00:00 (no time zone): a number or yyyy-MM-ddTHH:mm:ss.
std::optional<quint32> parseTime(const QString& s) {
    if (const auto v = parseInt(s); v && *v >= 0 && *v <= 0xFFFFFFFFLL)
        return quint32(*v);
    QDateTime dt = QDateTime::fromString(s, Qt::ISODate);
    if (!dt.isValid())
        return std::nullopt;
    dt.setTimeSpec(Qt::UTC);
    const qint64 secs = dt.toSecsSinceEpoch();
    if (secs < 0 || secs > 0xFFFFFFFFLL)
        return std::nullopt;
    return quint32(secs);
}

// A raw 32-bit value: a signed or unsigned integer, 0x hex, f:<float> (IEEE-754 single bits),
// t:<time> (seconds as for time=).
std::optional<quint32> parseValue(const QString& s) {
    if (s.startsWith(u"f:")) {
        bool ok = false;
        const float f = s.mid(2).toFloat(&ok);
        return ok ? std::optional(std::bit_cast<quint32>(f)) : std::nullopt;
    }
    if (s.startsWith(u"t:"))
        return parseTime(s.mid(2));
    const auto v = parseInt(s);
    if (!v || *v < -0x80000000LL || *v > 0xFFFFFFFFLL)
        return std::nullopt;
    return quint32(*v);
}

// key=value words after the first ones.
QMap<QString, QString> keyValues(const QStringList& words, int from, QStringList* flags) {
    QMap<QString, QString> kv;
    for (int i = from; i < words.size(); ++i) {
        const qsizetype eq = words[i].indexOf(u'=');
        if (eq < 0)
            flags->append(words[i].toLower());
        else
            kv.insert(words[i].left(eq).toLower(), words[i].mid(eq + 1));
    }
    return kv;
}

} // namespace

std::optional<Layout> layoutFromName(const QString& name) {
    static const char* const names[] = {"tdPlain",  "tdMarlo",  "tdPlain2",
                                        "tdPlain3", "tdPlain4", "tdQuint"};
    for (int i = 0; i < 6; ++i)
        if (name.compare(QLatin1String(names[i]), Qt::CaseInsensitive) == 0 ||
            name == QString::number(i))
            return Layout(i);
    return std::nullopt;
}

QString layoutName(Layout layout) {
    static const char* const names[] = {"tdPlain",  "tdMarlo",  "tdPlain2",
                                        "tdPlain3", "tdPlain4", "tdQuint"};
    return QLatin1String(names[int(layout)]);
}

std::optional<Fault> parseFault(const QString& spec, QString* error) {
    QStringList words;
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (!tokenize(spec, &words) || words.isEmpty())
        return fail(QStringLiteral("empty fault"));
    static const QMap<QString, Fault::Kind> kinds = {
        {"noanswer", Fault::Kind::NoAnswer},   {"crc", Fault::Kind::BadCrc},
        {"exception", Fault::Kind::Exception}, {"delay", Fault::Kind::Delay},
        {"truncate", Fault::Kind::Truncate},   {"garbage", Fault::Kind::Garbage},
        {"address", Fault::Kind::OtherAddress}};
    if (!kinds.contains(words[0].toLower()))
        return fail(QStringLiteral("unknown fault kind \"%1\"").arg(words[0]));
    Fault f;
    f.kind = kinds.value(words[0].toLower());
    QStringList flags;
    const auto kv = keyValues(words, 1, &flags);
    if (!flags.isEmpty())
        return fail(QStringLiteral("unexpected word \"%1\"").arg(flags.first()));
    for (auto it = kv.begin(); it != kv.end(); ++it) {
        const QString& k = it.key();
        if (k == u"record") {
            const QStringList p = it.value().split(u':');
            const auto j = p.size() == 2 ? parseInt(p[0]) : std::nullopt;
            const auto r = p.size() == 2 ? parseInt(p[1]) : std::nullopt;
            if (!j || !r)
                return fail(QStringLiteral("record= needs journal:index"));
            f.journal = int(*j);
            f.record = int(*r);
            if (f.function == 0)
                f.function = 0x41;
            continue;
        }
        const auto v = parseInt(it.value());
        if (!v)
            return fail(QStringLiteral("bad number in %1=%2").arg(k, it.value()));
        if (k == u"function")
            f.function = int(*v);
        else if (k == u"journal")
            f.journal = int(*v), f.function = f.function ? f.function : 0x41;
        else if (k == u"register") {
            if (*v >= 400001 && *v <= 465536)
                f.reg = int(*v - 400001), f.function = f.function ? f.function : 3;
            else if (*v >= 300001 && *v <= 365536)
                f.reg = int(*v - 300001), f.function = f.function ? f.function : 4;
            else
                return fail(QStringLiteral("register= needs a reference 300001.. or 400001.."));
        } else if (k == u"times")
            f.times = int(*v);
        else if (k == u"code" || k == u"ms" || k == u"bytes")
            f.value = int(*v);
        else
            return fail(QStringLiteral("unknown fault setting \"%1\"").arg(k));
    }
    if (f.kind == Fault::Kind::Exception && (f.value < 1 || f.value > 255))
        return fail(QStringLiteral("exception needs code=1..255"));
    return f;
}

Journal* Instrument::journal(int number) {
    for (Journal& j : journals)
        if (j.number == number)
            return &j;
    return nullptr;
}

const Journal* Instrument::journal(int number) const {
    return const_cast<Instrument*>(this)->journal(number);
}

Journal& Instrument::addJournal(int number, Layout layout) {
    if (Journal* j = journal(number)) {
        j->layout = layout;
        return *j;
    }
    journals.append(Journal{number, layout, {}});
    return journals.back();
}

bool Instrument::setRegister(int reference, quint16 value) {
    if (reference >= 300001 && reference <= 365536)
        inputRegisters.insert(reference - 300001, value);
    else if (reference >= 400001 && reference <= 465536)
        holdingRegisters.insert(reference - 400001, value);
    else
        return false;
    return true;
}

QByteArray Instrument::fixedRecord(Layout layout, quint32 time, quint16 id, quint32 newValue,
                                   quint32 before) {
    // Offsets are those of the reader's reply buffer minus 2 (function code and byte count).
    QByteArray b;
    switch (layout) {
    case Layout::Plain2:
    case Layout::Plain4:
        b = QByteArray(layout == Layout::Plain2 ? 12 : 16, '\0');
        putBe(b, 0, time, 4);
        putBe(b, 6, id, 2);
        putBe(b, 8, newValue, 4);
        if (layout == Layout::Plain4)
            putBe(b, 12, before, 4);
        break;
    case Layout::Plain3:
        b = QByteArray(14, '\0');
        putBe(b, 0, time, 4);
        putBe(b, 4, id, 2);
        putBe(b, 6, before, 4);
        putBe(b, 10, newValue, 4);
        break;
    default:
        b = QByteArray(10, '\0');
        putBe(b, 0, time, 4);
        putBe(b, 4, id, 2);
        putBe(b, 6, newValue, 4);
        break;
    }
    return b;
}

QByteArray Instrument::textRecord(const QString& text) {
    return platform::toCp1251(text).left(251);
}

QByteArray Instrument::modeRecord(quint32 time, quint16 mode) {
    QByteArray b(6, '\0');
    putBe(b, 0, time, 4);
    putBe(b, 4, mode, 2);
    return b;
}

void Instrument::addSynthetic(Journal& journal, int count, const QList<int>& ids, bool modes) {
    static const char* const names[] = {"Уставка", "Коррекция", "Режим выхода", "Период"};
    const quint32 t0 = 1600000000; // 2020-09-13 12:26:40
    const qsizetype base = journal.records.size();
    for (int k = 0; k < count; ++k) {
        const qsizetype i = base + k;
        const quint32 t = t0 + quint32(i) * 60;
        if (modes) {
            journal.records.append(modeRecord(t, quint16(i % 4)));
            continue;
        }
        const QDateTime dt = QDateTime::fromSecsSinceEpoch(t, Qt::UTC);
        const QString name = QString::fromUtf8(names[i % 4]);
        const QString before = QString::number(i), after = QString::number(i + 1);
        switch (journal.layout) {
        case Layout::Marlo:
            journal.records.append(
                textRecord(QStringLiteral(" %1 %2 : %3 -> %4")
                               .arg(dt.toString(u"dd.MM.yy HH:mm:ss"), name, before, after)));
            break;
        case Layout::Quint:
            journal.records.append(
                textRecord(QStringLiteral("%1\r\n%2:\r\n%3 > %4")
                               .arg(dt.toString(u"dd.MM.yyyy HH:mm:ss"), name, before, after)));
            break;
        default: {
            const int id = ids.isEmpty() ? 1 : ids[int(i % ids.size())];
            journal.records.append(
                fixedRecord(journal.layout, t, quint16(id), quint32(i + 1), quint32(i)));
        }
        }
    }
}

std::optional<Instrument> Instrument::fromFile(const QString& path, QString* error) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, f.errorString());
        return std::nullopt;
    }
    QString why;
    auto inst = parse(QString::fromUtf8(f.readAll()), &why);
    if (!inst && error)
        *error = QStringLiteral("%1:%2").arg(path, why);
    return inst;
}

namespace {

// What the lines read so far have built.
struct ContentParse {
    Instrument inst;
    Journal* journal = nullptr; // the one the last journal line opened
};

// A line of a content file: its text, its words, and its first word in lower case.
struct ContentLine {
    QString text;
    QStringList words;
    QString key;
};

// Reads one kind of line into the content; returns why the line is bad, or an empty text.
using LineReader = QString (*)(ContentParse&, const ContentLine&);

// "name = text" and "address = n".
QString readNameOrAddress(ContentParse& c, const ContentLine& l) {
    const qsizetype eq = l.text.indexOf(u'=');
    if (eq < 0)
        return QStringLiteral("%1 needs \"= value\"").arg(l.key);
    QStringList v;
    tokenize(l.text.mid(eq + 1), &v);
    const QString value = v.join(u' ');
    if (l.key == u"name") {
        c.inst.name = value;
        return {};
    }
    const auto a = parseInt(value);
    if (!a || *a < 1 || *a > 247)
        return QStringLiteral("address must be 1..247");
    c.inst.address = int(*a);
    return {};
}

QString readRegister(ContentParse& c, const ContentLine& l) {
    const QStringList& w = l.words;
    const auto ref = w.size() == 4 && w[2] == u"=" ? parseInt(w[1]) : std::nullopt;
    const auto val = ref ? parseInt(w[3]) : std::nullopt;
    if (!ref || !val || *val < -32768 || *val > 65535 ||
        !c.inst.setRegister(int(*ref), quint16(*val)))
        return QStringLiteral("register needs \"register <300001..|400001..> = <value>\"");
    return {};
}

QString readJournal(ContentParse& c, const ContentLine& l) {
    const QStringList& w = l.words;
    const auto num = w.size() == 3 ? parseInt(w[1]) : std::nullopt;
    const auto layout = w.size() == 3 ? layoutFromName(w[2]) : std::nullopt;
    if (!num || *num < 0 || *num > 255 || !layout)
        return QStringLiteral("journal needs \"journal <0..255> <tdPlain..tdQuint>\"");
    if (c.inst.journal(int(*num)))
        return QStringLiteral("journal %1 given twice").arg(*num);
    c.journal = &c.inst.addJournal(int(*num), *layout);
    return {};
}

QString readFault(ContentParse& c, const ContentLine& l) {
    QString why;
    const auto fault = parseFault(l.text.mid(5).trimmed(), &why);
    if (!fault)
        return why;
    c.inst.faults.append(*fault);
    return {};
}

// ---- record lines: they add to the journal of the last journal line ----

// The key=value words of a fixed or mode record line, the other words, and its time.
struct RecordWords {
    QMap<QString, QString> kv;
    QStringList flags;
    std::optional<quint32> time;
    std::optional<qint64> integer(const char* key) const { return parseInt(kv.value(key)); }
};

RecordWords recordWords(const ContentLine& l) {
    RecordWords r;
    r.kv = keyValues(l.words, 1, &r.flags);
    r.time = parseTime(r.kv.value(QStringLiteral("time")));
    return r;
}

QString readFixed(Journal& j, const ContentLine& l) {
    const RecordWords r = recordWords(l);
    const auto id = r.integer("id");
    const auto nv = parseValue(r.kv.value(QStringLiteral("new")));
    const auto bv = r.kv.contains(QStringLiteral("before"))
                        ? parseValue(r.kv.value(QStringLiteral("before")))
                        : std::optional<quint32>(0);
    if (!r.time || !id || *id < 0 || *id > 65535 || !nv || !bv || !r.flags.isEmpty())
        return QStringLiteral("fixed needs time= id= new= [before=]");
    j.records.append(Instrument::fixedRecord(j.layout, *r.time, quint16(*id), *nv, *bv));
    return {};
}

QString readText(Journal& j, const ContentLine& l) {
    if (l.words.size() != 2)
        return QStringLiteral("text needs one quoted text");
    if (platform::toCp1251(l.words[1]).size() > 251)
        return QStringLiteral("text longer than 251 bytes");
    j.records.append(Instrument::textRecord(l.words[1]));
    return {};
}

QString readMode(Journal& j, const ContentLine& l) {
    const RecordWords r = recordWords(l);
    const auto c = r.integer("code");
    if (!r.time || !c || *c < 0 || *c > 65535)
        return QStringLiteral("mode needs time= code=");
    j.records.append(Instrument::modeRecord(*r.time, quint16(*c)));
    return {};
}

QString readRaw(Journal& j, const ContentLine& l) {
    const QString hex = l.words.mid(1).join(QString());
    const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
    if (hex.size() % 2 || bytes.size() * 2 != hex.size() || bytes.size() > 251)
        return QStringLiteral("raw needs up to 251 hex bytes");
    j.records.append(bytes);
    return {};
}

QString readSynthetic(Journal& j, const ContentLine& l) {
    const QStringList& w = l.words;
    const auto count = w.size() >= 2 ? parseInt(w[1]) : std::nullopt;
    if (!count || *count < 0 || *count > 65536)
        return QStringLiteral("synthetic needs a count 0..65536");
    QStringList rest;
    const auto opts = keyValues(w, 2, &rest);
    QList<int> ids;
    for (const QString& s :
         opts.value(QStringLiteral("ids"), QStringLiteral("1")).split(u',', Qt::SkipEmptyParts)) {
        const auto v = parseInt(s);
        if (!v || *v < 0 || *v > 65535)
            return QStringLiteral("bad ids= list");
        ids.append(int(*v));
    }
    Instrument::addSynthetic(j, int(*count), ids, rest.contains(QStringLiteral("modes")));
    return {};
}

template <QString (*Read)(Journal&, const ContentLine&)>
QString inJournal(ContentParse& c, const ContentLine& l) {
    if (!c.journal)
        return QStringLiteral("a record before any journal line");
    return Read(*c.journal, l);
}

const QHash<QString, LineReader>& lineReaders() {
    static const QHash<QString, LineReader> readers = {
        {QStringLiteral("name"), readNameOrAddress},
        {QStringLiteral("address"), readNameOrAddress},
        {QStringLiteral("register"), readRegister},
        {QStringLiteral("journal"), readJournal},
        {QStringLiteral("fault"), readFault},
        {QStringLiteral("fixed"), inJournal<readFixed>},
        {QStringLiteral("text"), inJournal<readText>},
        {QStringLiteral("mode"), inJournal<readMode>},
        {QStringLiteral("raw"), inJournal<readRaw>},
        {QStringLiteral("synthetic"), inJournal<readSynthetic>},
    };
    return readers;
}

} // namespace

std::optional<Instrument> Instrument::parse(const QString& text, QString* error) {
    ContentParse content;
    const QStringList lines = text.split(u'\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        ContentLine line;
        line.text = lines[n].trimmed();
        if (line.text.isEmpty() || line.text.startsWith(u'#'))
            continue;
        QString why;
        if (!tokenize(line.text, &line.words)) {
            why = QStringLiteral("unterminated quote");
        } else {
            line.key = line.words[0].toLower();
            const LineReader read = lineReaders().value(line.key);
            why = read ? read(content, line)
                       : QStringLiteral("unknown line \"%1\"").arg(line.words[0]);
        }
        if (!why.isEmpty()) {
            if (error)
                *error = QStringLiteral("%1: %2").arg(n + 1).arg(why);
            return std::nullopt;
        }
    }
    return content.inst;
}

} // namespace sim
