#include "app/core/journalexport.h"

#include "app/core/timeformats.h"
#include "platform/codepage.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <xlsxwriter.h>

namespace core {

bool IsTwoValueLayout(TTypeDev layout) {
    return layout == tdPlain3 || layout == tdPlain4;
}

bool HasExtension(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return path.indexOf(u'.', slash + 1) >= 0;
}

std::optional<double> TextToFloat(const QString& text, const QLocale& locale, QString* error) {
    const QString upper = text.toUpper();
    if (upper == u"TRUE")
        return 1.0;
    if (upper == u"FALSE")
        return 0.0;

    QString s = text;
    const QString sep = locale.decimalPoint();
    bool ok = false;
    if (sep == u",") {
        const qsizetype i = s.indexOf(u'.');
        if (i >= 0)
            s[i] = u',';
        ok = true;
    } else if (sep == u".") {
        const qsizetype i = s.indexOf(u',');
        if (i >= 0)
            s[i] = u'.';
        ok = true;
    }
    double value = 0;
    if (ok) {
        QLocale strict = locale;
        strict.setNumberOptions(QLocale::RejectGroupSeparator);
        value = strict.toDouble(s.trimmed(), &ok);
    }
    if (!ok) {
        if (error)
            *error = QStringLiteral("'%1' - не вещественное число").arg(s);
        return std::nullopt;
    }
    return value;
}

namespace {

QList<int> ExportedColumns(TTypeDev layout) {
    return IsTwoValueLayout(layout) ? QList<int>{0, 1, 2, 3, 4} : QList<int>{0, 1, 2, 4};
}

} // namespace

ExportResult ExportText(const IStringGrid& sg, const QString& deviceText, TTypeDev layout,
                        const QString& fileName) {
    ExportResult result;
    result.fileName = HasExtension(fileName) ? fileName : fileName + QStringLiteral(".txt");

    QFile file(result.fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        result.error = file.errorString();
        return result;
    }
    const QList<int> columns = ExportedColumns(layout);
    // Rows are handed to the file in chunks, so a failure keeps the lines written before it.
    QString chunk = QStringLiteral("Прибор:") + deviceText + QStringLiteral("\r\n");
    const auto flush = [&]() {
        const QByteArray bytes = platform::toCp1251(chunk);
        chunk.clear();
        return file.write(bytes) == bytes.size();
    };
    for (int r = 1; r < sg.rowCount(); ++r) {
        for (int i = 0; i < columns.size(); ++i) {
            if (i > 0)
                chunk += u'\t';
            chunk += sg.cell(r, columns[i]);
        }
        chunk += QStringLiteral("\r\n");
        if (chunk.size() >= 64 * 1024 && !flush())
            break;
    }
    if (!flush() || !file.flush()) {
        result.error = file.errorString();
        return result;
    }
    file.close();
    result.ok = true;
    return result;
}

namespace {

class Workbook {
public:
    explicit Workbook(const QString& fileName) {
        lxw_workbook_options options{};
        options.constant_memory = LXW_FALSE;
        m_name = QFile::encodeName(fileName);
        m_book = workbook_new_opt(m_name.constData(), &options);
    }
    ~Workbook() {
        if (m_book)
            workbook_close(m_book); // error path only: a closed book has m_book == nullptr
    }
    lxw_workbook* get() const { return m_book; }
    lxw_error close() {
        const lxw_error e = workbook_close(m_book);
        m_book = nullptr;
        return e;
    }

private:
    QByteArray m_name;
    lxw_workbook* m_book = nullptr;
};

QString LxwMessage(lxw_error e, const QString& fileName) {
    if (e == LXW_ERROR_CREATING_XLSX_FILE || e == LXW_ERROR_CREATING_TMPFILE)
        return QStringLiteral("Не удается создать файл %1 (%2)")
            .arg(fileName, QString::fromLocal8Bit(lxw_strerror(e)));
    return QStringLiteral("Ошибка записи книги %1 (%2)")
        .arg(fileName, QString::fromLocal8Bit(lxw_strerror(e)));
}

// Printed: landscape A4, one page wide, the device line and the headings (rows 1 and 2) on every
// page. The repeated rows are a name of their own: the writer's worksheet_repeat_rows leaves the
// sheet name "..." unquoted in its reference, which spreadsheet programs do not read.
void SetPageSetup(lxw_workbook* book, lxw_worksheet* ws) {
    worksheet_set_landscape(ws);
    worksheet_set_paper(ws, 9);
    worksheet_fit_to_pages(ws, 1, 0);
    workbook_define_name(book, "'...'!_xlnm.Print_Titles", "='...'!$1:$2");
}

// The time column: a time that reads as a date-time is a date-time cell shown as its text shows
// it (one format for each distinct look); anything else is a text cell.
class TTimeCells {
public:
    TTimeCells(lxw_workbook* book, lxw_worksheet* ws) : m_book(book), m_ws(ws) {}

    void write(lxw_row_t row, lxw_col_t col, const QString& text) {
        const std::optional<TParsedTime> t = ParseRecordTime(text);
        if (!t) {
            worksheet_write_string(m_ws, row, col, text.toUtf8().constData(), nullptr);
            return;
        }
        lxw_format*& format = m_formats[t->numberFormat];
        if (!format) {
            format = workbook_add_format(m_book);
            format_set_num_format(format, t->numberFormat.toUtf8().constData());
        }
        worksheet_write_number(m_ws, row, col, t->value, format);
    }

private:
    lxw_workbook* m_book;
    lxw_worksheet* m_ws;
    QHash<QString, lxw_format*> m_formats;
};

} // namespace

ExportResult ExportSpreadsheet(const IStringGrid& sg, const QString& deviceText, TTypeDev layout,
                               const QString& fileName, const QString& versionText,
                               const QLocale& locale) {
    ExportResult result;
    result.fileName = fileName;
    if (!HasExtension(fileName)) {
        const std::optional<double> version = TextToFloat(versionText, locale, &result.error);
        if (!version)
            return result;
        result.fileName += *version >= 12 ? QStringLiteral(".xlsx") : QStringLiteral(".xls");
    }
    if (result.fileName.endsWith(QStringLiteral(".xls"), Qt::CaseInsensitive)) {
        // The writer has no binary (BIFF) format: never put .xlsx bytes under an .xls name.
        result.fileName += u'x';
        result.notice = QStringLiteral("Формат .xls не поддерживается, книга сохранена как %1")
                            .arg(QFileInfo(result.fileName).fileName());
    }

    Workbook book(result.fileName);
    if (!book.get()) {
        result.error = LxwMessage(LXW_ERROR_CREATING_XLSX_FILE, result.fileName);
        return result;
    }
    lxw_worksheet* ws = workbook_add_worksheet(book.get(), "...");
    lxw_format* bold = workbook_add_format(book.get());
    format_set_bold(bold);
    lxw_format* text = workbook_add_format(book.get());
    format_set_num_format_index(text, 49); // the built-in "@" (text) format

    const auto put = [&](lxw_row_t row, lxw_col_t col, const QString& s, lxw_format* f) {
        const QByteArray u = s.toUtf8();
        worksheet_write_string(ws, row, col, u.constData(), f);
    };
    TTimeCells times(book.get(), ws);
    SetPageSetup(book.get(), ws);
    worksheet_set_column(ws, 0, 0, 20, nullptr);
    worksheet_set_column(ws, 1, 1, 40, nullptr);
    worksheet_set_column(ws, 2, 3, 50, nullptr);
    put(0, 1, QStringLiteral("Прибор:") + deviceText, nullptr);

    const bool twoValues = IsTwoValueLayout(layout);
    put(1, 0, QStringLiteral("Дата время"), bold);
    put(1, 1, QStringLiteral("Название параметра"), bold);
    if (twoValues) {
        put(1, 2, QStringLiteral("Значение до"), bold);
        put(1, 3, QStringLiteral("Значение после"), bold);
    } else {
        put(1, 2, QStringLiteral("Значение"), bold);
        worksheet_write_blank(ws, 1, 3, bold);
    }
    for (int r = 1; r < sg.rowCount(); ++r) {
        const auto row = static_cast<lxw_row_t>(r + 1);
        times.write(row, 0, sg.cell(r, 1));
        put(row, 1, sg.cell(r, 2), nullptr);
        if (twoValues) {
            put(row, 2, sg.cell(r, 3), text);
            put(row, 3, sg.cell(r, 4), text);
        } else {
            put(row, 2, sg.cell(r, 4), text);
        }
    }
    const lxw_error e = book.close();
    if (e != LXW_NO_ERROR) {
        result.error = LxwMessage(e, result.fileName);
        return result;
    }
    result.ok = true;
    return result;
}

} // namespace core
