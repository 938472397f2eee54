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

// Text file: "Прибор:" + device text, then one line per list row from row 1 on, columns 0, 1,
// 2, [3 for two-value layouts], 4 joined by TAB; CR LF; windows-1251. ".txt" is appended to a
// name without extension.
[[nodiscard]] ExportResult ExportText(const IStringGrid& sg, const QString& deviceText,
                                      TTypeDev layout, const QString& fileName);

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

// Writes prepared bytes (a picture of the chart) to a file the same way: the old file is kept on
// failure, and the error names the file and the reason.
ExportResult SaveFileBytes(const QString& fileName, QByteArrayView bytes);

} // namespace core
