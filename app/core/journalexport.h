// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"
#include "app/core/stringgrid.h"

#include <QByteArrayView>
#include <QLocale>
#include <QString>

#include <optional>

// Saving the linear list of a reading run: a tab-separated text file or an .xlsx workbook.
namespace core {

// Layouts whose list carries a "before" value the export writes: tdPlain3 and tdPlain4.
bool IsTwoValueLayout(TTypeDev layout);

// True when the file-name part of `path` (after the last '/') contains a '.'.
bool HasExtension(const QString& path);

// The number in a text such as "16.0" or "16,0": TRUE/FALSE give 1/0; otherwise the first '.'
// or ',' is turned into the locale's decimal separator and the trimmed text converted by the
// locale's rules. On failure `error` gets "'%s' - не вещественное число".
[[nodiscard]] std::optional<double> TextToFloat(const QString& text, const QLocale& locale,
                                                QString* error);

// Every caller must look at the result: a write that failed (a full disk) loses the journal.
struct [[nodiscard]] ExportResult {
    bool ok = false;
    QString fileName; // the file written (or attempted)
    QString error;    // message for the user when !ok
    QString notice;   // information for the user when ok (e.g. the name was changed)
};

// The files the list is saved as, in the order of the save dialog's filters (1, 2, 3).
enum class TExportFormat { Text = 1, Spreadsheet = 2, Csv = 3 };

// Text file: "Прибор:" + device text, then one line per list row from row 1 on, columns 0, 1,
// 2, [3 for two-value layouts], 4 joined by TAB; CR LF; windows-1251. ".txt" is appended to a
// name without extension.
[[nodiscard]] ExportResult ExportText(const IStringGrid& sg, const QString& deviceText,
                                      TTypeDev layout, const QString& fileName);
// The text file's bytes.
QByteArray TextFileBytes(const IStringGrid& sg, const QString& deviceText, TTypeDev layout);

// CSV for scripts: UTF-8 without byte-order mark, RFC 4180 (a heading row, fields separated by
// commas, a field quoted when it holds a comma, a quote, CR or LF, its quotes doubled, CR LF after
// every row). Columns "Номер", "Время", "Параметр", ["Значение до" for the layouts whose list
// shows it: tdPlain3, tdPlain4, tdMarlo, tdQuint,] "Значение", "Ошибка". A time that reads as a
// date-time is written in ISO 8601 ("2020-09-13T12:26:40", the instrument's clock, no zone), any
// other time as the list shows it. Values as the list shows them: those of numeric types are
// plain numbers (ASCII digits, "-", "." as decimal point, no grouping). An error row has its
// number and its error text (in "Ошибка") only. Rows the run left empty are left out.
QByteArray CsvBytes(const IStringGrid& sg, TTypeDev layout);
// The CSV file; ".csv" is appended to a name without extension.
[[nodiscard]] ExportResult ExportCsv(const IStringGrid& sg, TTypeDev layout,
                                     const QString& fileName);

// Version of the spreadsheet writer, as the text the extension rule converts.
inline constexpr const char* kSpreadsheetVersion = "16.0";

// True when the name ends in ".xls" (any letter case).
bool IsXlsName(const QString& fileName);

// The name the workbook is saved under: a name without extension gets ".xlsx" (".xls" for a
// writer version below 12); a name ending in ".xls" gets ".xlsx" instead, the added letter in the
// case of the typed extension, because the writer produces Office Open XML only. nullopt (and
// `error`) when the version text is not a number.
// `xlsReplaced` tells whether ".xls" became ".xlsx".
std::optional<QString>
SpreadsheetFileName(const QString& fileName, QString* error = nullptr, bool* xlsReplaced = nullptr,
                    const QString& versionText = QString::fromLatin1(kSpreadsheetVersion),
                    const QLocale& locale = QLocale());

// The question to ask before the workbook of `fileName` is saved: the ".xlsx" name of a typed
// ".xls" name, which nobody named, exists and would be replaced. Empty when there is none to ask.
QString WorkbookReplaceQuestion(const QString& fileName);

// Workbook of one sheet "...": B1 device line, widths A 20, B 40, C 50, D 50, bold A2:D2 headers,
// then list columns 1, 2 and the value column(s) from row 3 on. A time that ParseRecordTime reads
// is a date-time cell with a number format that shows it as its text does; any other time, the
// parameter and the values are text cells (the values formatted "@"), never formulas. Printed
// landscape on A4, one page wide, rows 1 and 2 repeated on every page. Saved under
// SpreadsheetFileName(); the result's notice says when ".xls" became ".xlsx".
//
// Both exports replace an existing file only once the new one is complete: on failure the old
// file is untouched, no part of the new one is left, and the error names the file and the reason.
[[nodiscard]] ExportResult
ExportSpreadsheet(const IStringGrid& sg, const QString& deviceText, TTypeDev layout,
                  const QString& fileName,
                  const QString& versionText = QString::fromLatin1(kSpreadsheetVersion),
                  const QLocale& locale = QLocale());

// The workbook's bytes (as ExportSpreadsheet saves them); nullopt and `error`, naming `fileName`,
// when the writer fails.
std::optional<QByteArray> WorkbookBytes(const IStringGrid& sg, const QString& deviceText,
                                        TTypeDev layout, const QString& fileName, QString* error);

// The bytes of the file of `format` (a pipe or standard output gets them as they are); nullopt
// and `error`, naming `displayName`, when the workbook's writer fails.
std::optional<QByteArray> ExportBytes(TExportFormat format, const IStringGrid& sg,
                                      const QString& deviceText, TTypeDev layout,
                                      const QString& displayName, QString* error);

// ExportText, ExportSpreadsheet or ExportCsv.
[[nodiscard]] ExportResult ExportFile(TExportFormat format, const IStringGrid& sg,
                                      const QString& deviceText, TTypeDev layout,
                                      const QString& fileName);

// Writes prepared bytes (a picture of the chart) to a file the same way: the old file is kept on
// failure, and the error names the file and the reason.
ExportResult SaveFileBytes(const QString& fileName, QByteArrayView bytes);

} // namespace core
