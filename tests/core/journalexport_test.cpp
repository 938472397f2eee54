// SPDX-License-Identifier: MIT
#include "app/core/journalexport.h"

#include "platform/codepage.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include "tests/fullfolder.h"
#include "tests/unprivileged.h"
#include "tests/ziptestutil.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sys/stat.h>

namespace {

using core::ExportSpreadsheet;
using core::ExportText;

// A linear list as a run leaves it: heading row, then number, time, parameter, before, new.
core::TStringGrid MakeList(const QList<QStringList>& rows) {
    core::TStringGrid g(static_cast<int>(rows.size()) + 1, 5);
    const QStringList head = {"№", "Время", "Параметр", "Значение до", "Значение новое"};
    for (int c = 0; c < 5; ++c)
        g.setCell(0, c, head[c]);
    for (int r = 0; r < rows.size(); ++r)
        for (int c = 0; c < rows[r].size(); ++c)
            g.setCell(r + 1, c, rows[r][c]);
    return g;
}

TEST(TextExport, BytesBySingleAndTwoValueLayouts) {
    QTemporaryDir dir;
    const core::TStringGrid list =
        MakeList({{"0", "13.09.20 12:26:40", "Уставка", "1.0000000", "1.5000000"},
                  {"1", "Ошибка (Прибор не отвечает)", "", "", ""}});
    const struct {
        TTypeDev layout;
        QString expected;
    } cases[] = {
        {tdPlain, "Прибор:РТ-10\r\n0\t13.09.20 12:26:40\tУставка\t1.5000000\r\n"
                  "1\tОшибка (Прибор не отвечает)\t\t\r\n"},
        {tdPlain3, "Прибор:РТ-10\r\n0\t13.09.20 12:26:40\tУставка\t1.0000000\t1.5000000\r\n"
                   "1\tОшибка (Прибор не отвечает)\t\t\t\r\n"},
        {tdPlain4, "Прибор:РТ-10\r\n0\t13.09.20 12:26:40\tУставка\t1.0000000\t1.5000000\r\n"
                   "1\tОшибка (Прибор не отвечает)\t\t\t\r\n"},
        {tdMarlo, "Прибор:РТ-10\r\n0\t13.09.20 12:26:40\tУставка\t1.5000000\r\n"
                  "1\tОшибка (Прибор не отвечает)\t\t\r\n"},
    };
    for (const auto& c : cases) {
        const QString name = dir.filePath(QString("list%1.txt").arg(int(c.layout)));
        const auto r = ExportText(list, "РТ-10", c.layout, name);
        ASSERT_TRUE(r.ok) << r.error.toStdString();
        EXPECT_EQ(ReadWholeFile(name), platform::toCp1251(c.expected)) << int(c.layout);
    }
}

TEST(TextExport, ExtensionRuleAndWriteFailure) {
    QTemporaryDir dir;
    const core::TStringGrid list = MakeList({});
    auto r = ExportText(list, "X", tdPlain, dir.filePath("journal"));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.fileName, dir.filePath("journal.txt"));
    EXPECT_EQ(ReadWholeFile(r.fileName), QByteArray("\xCF\xF0\xE8\xE1\xEE\xF0:X\r\n"));

    r = ExportText(list, "X", tdPlain, dir.filePath("journal.csv"));
    EXPECT_EQ(r.fileName, dir.filePath("journal.csv"));
    EXPECT_TRUE(QFile::exists(dir.filePath("journal.csv")));

    // A dot in a folder name is not an extension.
    QDir(dir.path()).mkdir("a.b");
    r = ExportText(list, "X", tdPlain, dir.filePath("a.b/journal"));
    EXPECT_EQ(r.fileName, dir.filePath("a.b/journal.txt"));

    r = ExportText(list, "X", tdPlain, dir.filePath("missing/journal.txt"));
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.isEmpty());
}

// CSV for scripts: the known bytes of a list with every kind of field, by layout.
TEST(CsvExport, KnownAnswers) {
    core::TStringGrid list = MakeList({
        {"0", "13.09.20 12:26:40", "Период опроса, мс", "1", "-2"},
        {"1", "0.00.01 01:01:01", "Текст \"в кавычках\"", "", "21.5000000"},
        {"2", "Ошибка (Прибор не отвечает)", "", "", ""},
        {"3", "2020.09.13 12:26:40 ", "Строка\r\nвторая", "a;b", "открыт"},
        {"", "", "", "", ""}, // a row the run left empty
    });
    list.setRowError(3, true);
    const struct {
        TTypeDev layout;
        const char* csv;
    } cases[] = {
        {tdPlain, "Номер,Время,Параметр,Значение,Ошибка\r\n"
                  "0,2020-09-13T12:26:40,\"Период опроса, мс\",-2,\r\n"
                  "1,0.00.01 01:01:01,\"Текст \"\"в кавычках\"\"\",21.5000000,\r\n"
                  "2,,,,Ошибка (Прибор не отвечает)\r\n"
                  "3,2020-09-13T12:26:40,\"Строка\r\nвторая\",открыт,\r\n"},
        {tdPlain4, "Номер,Время,Параметр,Значение до,Значение,Ошибка\r\n"
                   "0,2020-09-13T12:26:40,\"Период опроса, мс\",1,-2,\r\n"
                   "1,0.00.01 01:01:01,\"Текст \"\"в кавычках\"\"\",,21.5000000,\r\n"
                   "2,,,,,Ошибка (Прибор не отвечает)\r\n"
                   "3,2020-09-13T12:26:40,\"Строка\r\nвторая\",a;b,открыт,\r\n"},
    };
    QTemporaryDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.layout));
        EXPECT_EQ(core::CsvBytes(list, c.layout), QByteArray(c.csv));
        // A name without extension gets ".csv"; the file holds the same bytes.
        const auto r = core::ExportFile(core::TExportFormat::Csv, list, "РТ-10", c.layout,
                                        dir.filePath(QString("list%1").arg(int(c.layout))));
        ASSERT_TRUE(r.ok) << r.error.toStdString();
        EXPECT_TRUE(r.fileName.endsWith(".csv"));
        EXPECT_EQ(ReadWholeFile(r.fileName), QByteArray(c.csv));
    }
}

TEST(TextToFloat, KnownAnswers) {
    const QLocale ru(QLocale::Russian, QLocale::Russia);
    const QLocale en(QLocale::English, QLocale::UnitedStates);
    const struct {
        QString text;
        QLocale locale;
        std::optional<double> value;
    } cases[] = {
        {"16.0", ru, 16.0}, {"16,0", ru, 16.0},        {"16.0", en, 16.0},     {"16,0", en, 16.0},
        {" 2.5 ", ru, 2.5}, {" 2.5 ", en, 2.5},        {"tRuE", ru, 1.0},      {"FALSE", en, 0.0},
        {"11.0", en, 11.0}, {"abc", ru, std::nullopt}, {"", en, std::nullopt},
    };
    for (const auto& c : cases) {
        QString error;
        EXPECT_EQ(core::TextToFloat(c.text, c.locale, &error), c.value) << c.text.toStdString();
        EXPECT_EQ(error.isEmpty(), c.value.has_value());
    }
    QString error;
    EXPECT_FALSE(core::TextToFloat("abc", ru, &error));
    EXPECT_EQ(error, QStringLiteral("'abc' - не вещественное число"));
}

TEST(SpreadsheetExport, CellsWidthsBoldHeaderAndTextFormats) {
    QTemporaryDir dir;
    const core::TStringGrid list =
        MakeList({{"0", "13.09.20 12:26:40", "Коэффициент", "1.0000000", "1.5000000"},
                  {"1", "13.09.20 12:27:00", "Адрес", "3", "4"}});
    const auto r = ExportSpreadsheet(list, "ПР-4", tdPlain4, dir.filePath("book"));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.fileName, dir.filePath("book.xlsx"));

    const QString workbook = QString::fromUtf8(ZipEntry(r.fileName, "xl/workbook.xml"));
    EXPECT_TRUE(workbook.contains("<sheet name=\"...\"")) << workbook.toStdString();

    const QString strings = QString::fromUtf8(ZipEntry(r.fileName, "xl/sharedStrings.xml"));
    for (const char* s : {"Прибор:ПР-4", "Дата время", "Название параметра", "Значение до",
                          "Значение после", "1.5000000", "Коэффициент"})
        EXPECT_TRUE(strings.contains(QString::fromUtf8(s))) << s;

    const QString sheet = QString::fromUtf8(ZipEntry(r.fileName, "xl/worksheets/sheet1.xml"));
    EXPECT_TRUE(sheet.contains("<col min=\"1\" max=\"1\" width=\"20.7109375\""))
        << sheet.toStdString();
    EXPECT_TRUE(sheet.contains("<col min=\"2\" max=\"2\" width=\"40.7109375\""));
    EXPECT_TRUE(sheet.contains("<col min=\"3\" max=\"4\" width=\"50.7109375\""));
    // Row 3 holds the first record: B without format, C and D as text-formatted strings (style
    // 3: style 2 is the date-time format of the time in A3).
    EXPECT_TRUE(sheet.contains("<c r=\"B3\" t=\"s\">"));
    EXPECT_TRUE(sheet.contains("<c r=\"C3\" s=\"3\" t=\"s\">"));
    EXPECT_TRUE(sheet.contains("<c r=\"D4\" s=\"3\" t=\"s\">"));
    EXPECT_TRUE(sheet.contains("<c r=\"A2\" s=\"1\" t=\"s\">"));
    EXPECT_TRUE(sheet.contains("<c r=\"D2\" s=\"1\" t=\"s\">"));
    EXPECT_FALSE(sheet.contains("r=\"E")); // the record number is not exported

    const QString styles = QString::fromUtf8(ZipEntry(r.fileName, "xl/styles.xml"));
    EXPECT_TRUE(styles.contains("<b/>"));
    EXPECT_TRUE(styles.contains("numFmtId=\"49\"")); // the built-in "@" text format
}

TEST(SpreadsheetExport, SingleValueLayoutAndExtensionRules) {
    QTemporaryDir dir;
    const core::TStringGrid list = MakeList({{"0", "t", "p", "before", "new"}});
    auto r = ExportSpreadsheet(list, "D", tdPlain, dir.filePath("one"));
    ASSERT_TRUE(r.ok);
    const QString sheet = QString::fromUtf8(ZipEntry(r.fileName, "xl/worksheets/sheet1.xml"));
    EXPECT_TRUE(sheet.contains("<c r=\"C3\" s=\"2\" t=\"s\">"));
    EXPECT_FALSE(sheet.contains("r=\"D3\""));
    EXPECT_TRUE(sheet.contains("<c r=\"D2\" s=\"1\"/>")); // bold, empty
    const QString strings = QString::fromUtf8(ZipEntry(r.fileName, "xl/sharedStrings.xml"));
    EXPECT_TRUE(strings.contains(">Значение<"));
    EXPECT_TRUE(strings.contains(">new<"));
    EXPECT_FALSE(strings.contains(">before<"));

    // An old version text would choose .xls, which the writer cannot produce: .xlsx, with notice.
    r = ExportSpreadsheet(list, "D", tdPlain, dir.filePath("old"), "11.0");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.fileName, dir.filePath("old.xlsx"));
    EXPECT_FALSE(r.notice.isEmpty());
    r = ExportSpreadsheet(list, "D", tdPlain, dir.filePath("named.XLS"));
    EXPECT_EQ(r.fileName, dir.filePath("named.XLSX"));
    r = ExportSpreadsheet(list, "D", tdPlain, dir.filePath("keep.dat"));
    EXPECT_EQ(r.fileName, dir.filePath("keep.dat"));
    EXPECT_TRUE(r.notice.isEmpty());

    r = ExportSpreadsheet(list, "D", tdPlain, dir.filePath("bad"), "v16");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, QStringLiteral("'v16' - не вещественное число"));
    EXPECT_FALSE(QFile::exists(dir.filePath("bad.xlsx")));

    r = ExportSpreadsheet(list, "D", tdPlain, dir.filePath("missing/x.xlsx"));
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.isEmpty());
}

// Times that read as date-times become date-time cells shown as their texts show them; other
// times, parameters and values stay text, never formulas. Printed landscape on A4, one page wide,
// the device line and the headings repeated.
TEST(SpreadsheetExport, TimeCellsTextsAndPageSetup) {
    const struct {
        const char* time;
        const char* cell; // as ReadWorkbook reads it
        const char* code; // its number format
    } cases[] = {
        {"13.09.20 12:26:40", "date 2020-09-13 12:26:40", "dd\\.mm\\.yy hh:mm:ss"},
        {" 13.09.2020", "date 2020-09-13 00:00:00", "dd\\.mm\\.yyyy"},
        {"2020.09.13 12:26:40 ", "date 2020-09-13 12:26:40", "yyyy\\.mm\\.dd hh:mm:ss"},
        {"0.00.01 01:01:01", "0.00.01 01:01:01", ""},
        {"1 01:01:01", "1 01:01:01", ""},
        {"Error", "Error", ""},
        {"=1+2", "=1+2", ""},
    };
    QList<QStringList> rows;
    for (const auto& c : cases)
        rows.append({"0", QString::fromUtf8(c.time), "=SUM(A1:A2)", "", "=1/0"});
    QTemporaryDir dir;
    const auto r = ExportSpreadsheet(MakeList(rows), "D", tdPlain, dir.filePath("t.xlsx"));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    const QJsonObject book = ReadWorkbook(r.fileName);
    const QJsonObject cells = book["cells"].toObject();
    for (int i = 0; i < int(std::size(cases)); ++i) {
        SCOPED_TRACE(cases[i].time);
        const QJsonObject a = cells[QStringLiteral("A%1").arg(i + 3)].toObject();
        EXPECT_EQ(a["text"].toString(), QString::fromUtf8(cases[i].cell));
        EXPECT_EQ(a["code"].toString(), QString::fromUtf8(cases[i].code));
        for (const char* col : {"A", "B", "C"})
            EXPECT_FALSE(cells[QStringLiteral("%1%2").arg(col).arg(i + 3)]["formula"].toBool());
        EXPECT_EQ(cells[QStringLiteral("B%1").arg(i + 3)]["text"].toString(), "=SUM(A1:A2)");
        EXPECT_EQ(cells[QStringLiteral("C%1").arg(i + 3)]["text"].toString(), "=1/0");
    }
    const QJsonObject page = book["page"].toObject();
    EXPECT_EQ(page["orientation"].toString(), "landscape");
    EXPECT_EQ(page["paperSize"].toString(), "9");
    EXPECT_EQ(page["fitToHeight"].toString(), "0");
    EXPECT_TRUE(book["fitToPage"].toBool());
    EXPECT_EQ(book["names"]["_xlnm.Print_Titles"].toString(), "'...'!$1:$2");
}

// A failed export leaves the file it would replace as it was and no part of the new one, with one
// message naming the file and the reason; the workbook writer prints nothing of its own. The
// list is longer than one 64 K chunk of text. Cases of permissions run as an unprivileged user.
TEST(Export, FailureKeepsTheOldFile) {
    QList<QStringList> rows;
    for (int i = 0; i < 2000; ++i)
        rows.append({QString::number(i), "13.09.20 12:26:40", "Температура воды", "", "21.5"});
    const core::TStringGrid list = MakeList(rows);
    const QByteArray old = "the old file\r\n";
    FullFolder full({{"journal.txt", old}, {"journal.xlsx", old}});
    QTemporaryDir dir;
    ASSERT_TRUE(ReadOnlyForOthers(dir.path()));
    ASSERT_TRUE(QFile::link("/dev/full", dir.filePath("full.txt")));
    ASSERT_TRUE(QFile::link("/dev/full", dir.filePath("full.xlsx")));
    ASSERT_TRUE(QDir(dir.path()).mkdir("read-only"));
    ASSERT_TRUE(ReadOnlyForOthers(dir.filePath("read-only")));

    enum Where { FullDisk, DevFull, MissingFolder, ReadOnlyFolder };
    const struct {
        const char* what;
        Where where;
        const char* name;
        const char* reason;
    } cases[] = {
        {"full disk (tmpfs)", FullDisk, "journal", "нет места на диске"},
        {"a link to /dev/full", DevFull, "full", "нет места на диске"},
        {"missing folder", MissingFolder, "missing/journal", "нет такой папки"},
        {"read-only folder", ReadOnlyFolder, "read-only/journal", "нет прав на запись"},
    };
    for (const bool workbook : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (workbook ? " .xlsx" : " .txt"));
            if (c.where == FullDisk && !full.mounted()) {
                std::cerr << "skipped: " << c.what << " (mounting a tmpfs needs root)\n";
                continue;
            }
            const QString base = c.where == FullDisk ? full.path() : dir.path();
            const QString file = QDir(base).filePath(c.name) + (workbook ? ".xlsx" : ".txt");
            const QString folder = QFileInfo(file).absolutePath();
            const QStringList before = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden |
                                                              QDir::System | QDir::NoDotAndDotDot);
            const auto exportList = [&] {
                const core::ExportResult r = workbook
                                                 ? ExportSpreadsheet(list, "РТ-10", tdPlain, file)
                                                 : ExportText(list, "РТ-10", tdPlain, file);
                const bool named = r.error.contains(file) && r.error.contains(c.reason);
                struct stat st {};
                const bool kept = c.where == DevFull
                                      ? ::stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode)
                                      : ReadWholeFile(file) == (c.where == FullDisk ? old : "");
                const QStringList after = QDir(folder).entryList(
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
                if (!named)
                    std::cerr << r.error.toStdString() << "\n";
                return int(r.ok) | (named ? 2 : 0) | (kept ? 4 : 0) | (after == before ? 8 : 0);
            };
            testing::internal::CaptureStderr();
            const int outcome = c.where == FullDisk ? exportList() : RunUnprivileged(exportList);
            const std::string printed = testing::internal::GetCapturedStderr();
            EXPECT_EQ(outcome, 2 | 4 | 8) << printed;
            EXPECT_EQ(printed.find("[ERROR]"), std::string::npos) << printed;
        }
    }
}

} // namespace
