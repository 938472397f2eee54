// SPDX-License-Identifier: MIT
#include "app/core/journalexport.h"

#include "app/core/timeformats.h"
#include "platform/codepage.h"
#include "platform/replacefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <xlsxwriter.h>

#include <algorithm>
#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

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

QString SaveFailure(const QString& fileName, int errnum) {
    return QStringLiteral("Не удалось сохранить файл %1: %2.")
        .arg(QDir::toNativeSeparators(fileName), platform::writeErrorText(errnum));
}

} // namespace

ExportResult SaveFileBytes(const QString& fileName, QByteArrayView bytes) {
    ExportResult result;
    result.fileName = fileName;
    platform::TReplaceFile file(fileName);
    if (!file.open() || !file.write(bytes) || !file.commit()) {
        result.error = SaveFailure(fileName, file.error());
        return result;
    }
    result.ok = true;
    return result;
}

QByteArray TextFileBytes(const IStringGrid& sg, const QString& deviceText, TTypeDev layout) {
    const QList<int> columns = ExportedColumns(layout);
    QByteArray bytes;
    QString chunk = QStringLiteral("Прибор:") + deviceText + QStringLiteral("\r\n");
    for (int r = 1; r < sg.rowCount(); ++r) {
        for (int i = 0; i < columns.size(); ++i) {
            if (i > 0)
                chunk += u'\t';
            chunk += sg.cell(r, columns[i]);
        }
        chunk += QStringLiteral("\r\n");
        if (chunk.size() >= 64 * 1024) {
            bytes += platform::toCp1251(chunk);
            chunk.clear();
        }
    }
    return bytes + platform::toCp1251(chunk);
}

ExportResult ExportText(const IStringGrid& sg, const QString& deviceText, TTypeDev layout,
                        const QString& fileName) {
    // A failure leaves the file that was there (and no part of the new one).
    return SaveFileBytes(HasExtension(fileName) ? fileName : fileName + QStringLiteral(".txt"),
                         TextFileBytes(sg, deviceText, layout));
}

namespace {

// A field of a CSV row: quoted when it holds a comma, a quote, CR or LF, its quotes doubled.
QString CsvField(const QString& text) {
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\r') &&
        !text.contains(u'\n'))
        return text;
    return u'"' + QString(text).replace(u'"', QStringLiteral("\"\"")) + u'"';
}

// A time text as ISO 8601 when it reads as a date-time; any other (an operating time, a text the
// instrument wrote that reads as none) as it is.
QString CsvTime(const QString& text) {
    const std::optional<TParsedTime> t = ParseRecordTime(text);
    const QDateTime time = t ? DateTimeToQDateTime(t->value) : QDateTime();
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) : text;
}

// Layouts whose list shows a value before the change.
bool ShowsValueBefore(TTypeDev layout) {
    return IsTwoValueLayout(layout) || layout == tdMarlo || layout == tdQuint;
}

} // namespace

QByteArray CsvBytes(const IStringGrid& sg, TTypeDev layout) {
    const bool before = ShowsValueBefore(layout);
    QStringList heading = {QStringLiteral("Номер"), QStringLiteral("Время"),
                           QStringLiteral("Параметр")};
    if (before)
        heading << QStringLiteral("Значение до");
    heading << QStringLiteral("Значение") << QStringLiteral("Ошибка");
    QString text = heading.join(u',') + QStringLiteral("\r\n");
    for (int r = 1; r < sg.rowCount(); ++r) {
        QStringList fields;
        if (sg.rowError(r)) {
            fields << sg.cell(r, 0) << QString() << QString();
            if (before)
                fields << QString();
            fields << QString() << sg.cell(r, 1);
        } else {
            fields << sg.cell(r, 0) << CsvTime(sg.cell(r, 1)) << sg.cell(r, 2);
            if (before)
                fields << sg.cell(r, 3);
            fields << sg.cell(r, 4) << QString();
        }
        // A row the run left empty (a reading without records) is no record.
        if (std::all_of(fields.begin(), fields.end(), [](const QString& f) { return f.isEmpty(); }))
            continue;
        for (QString& f : fields)
            f = CsvField(f);
        text += fields.join(u',') + QStringLiteral("\r\n");
    }
    return text.toUtf8();
}

ExportResult ExportCsv(const IStringGrid& sg, TTypeDev layout, const QString& fileName) {
    return SaveFileBytes(HasExtension(fileName) ? fileName : fileName + QStringLiteral(".csv"),
                         CsvBytes(sg, layout));
}

namespace {

class Workbook {
public:
    explicit Workbook(const QByteArray& fileName) : m_name(fileName) {
        lxw_workbook_options options{};
        options.constant_memory = LXW_FALSE;
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

// The workbook is assembled in a memory file that the writer opens by its /proc name. The writer
// never meets the target folder, so a full disk or a missing folder cannot make it print error
// lines of its own, and the bytes reach the folder through the same checked writes as the text
// file's.
class MemoryFile {
public:
    MemoryFile() : m_fd(::memfd_create("journal-workbook", MFD_CLOEXEC)), m_errno(errno) {}
    ~MemoryFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool isValid() const { return m_fd >= 0; }
    int error() const { return m_errno; }
    QByteArray name() const { return "/proc/self/fd/" + QByteArray::number(m_fd); }

    // The content; a failed read leaves its error number in error().
    std::optional<QByteArray> readAll() {
        if (::lseek(m_fd, 0, SEEK_SET) != 0) {
            m_errno = errno;
            return std::nullopt;
        }
        QByteArray content;
        std::vector<char> buffer(64 * 1024);
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                m_errno = errno;
                return std::nullopt;
            }
            if (n == 0)
                return content;
            content.append(buffer.data(), n);
        }
    }

private:
    int m_fd;
    int m_errno;
};

QString LxwMessage(lxw_error e, const QString& fileName) {
    QString reason;
    if (e == LXW_ERROR_MEMORY_MALLOC_FAILED)
        reason = QStringLiteral("не хватило памяти");
    else if (e == LXW_ERROR_CREATING_TMPFILE)
        reason = QStringLiteral("не удалось создать временный файл в %1")
                     .arg(QDir::toNativeSeparators(QDir::tempPath()));
    else
        reason = QString::fromLocal8Bit(lxw_strerror(e));
    return QStringLiteral("Не удалось сохранить книгу %1: %2.")
        .arg(QDir::toNativeSeparators(fileName), reason);
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

std::optional<QString> SpreadsheetFileName(const QString& fileName, QString* error,
                                           bool* xlsReplaced, const QString& versionText,
                                           const QLocale& locale) {
    QString name = fileName;
    if (!HasExtension(fileName)) {
        const std::optional<double> version = TextToFloat(versionText, locale, error);
        if (!version)
            return std::nullopt;
        name += *version >= 12 ? QStringLiteral(".xlsx") : QStringLiteral(".xls");
    }
    // The writer has no binary (BIFF) format: never put .xlsx bytes under an .xls name. The
    // added letter follows the case of the typed one ("REPORT.XLS" becomes "REPORT.XLSX").
    const bool xls = IsXlsName(name);
    if (xls)
        name += name.back().isUpper() ? u'X' : u'x';
    if (xlsReplaced)
        *xlsReplaced = xls;
    return name;
}

bool IsXlsName(const QString& fileName) {
    return fileName.endsWith(QStringLiteral(".xls"), Qt::CaseInsensitive);
}

QString WorkbookReplaceQuestion(const QString& fileName) {
    bool xlsReplaced = false;
    const std::optional<QString> name = SpreadsheetFileName(fileName, nullptr, &xlsReplaced);
    if (!xlsReplaced || !QFileInfo::exists(*name))
        return {};
    return QStringLiteral("Формат .xls не поддерживается, книга будет сохранена как %1.\r"
                          "Такой файл уже есть. Заменить его?")
        .arg(QFileInfo(*name).fileName());
}

namespace {

// The sheet "..." of the workbook: the device line, the headings, the list's rows.
void FillSheet(lxw_workbook* book, const IStringGrid& sg, const QString& deviceText,
               TTypeDev layout) {
    lxw_worksheet* ws = workbook_add_worksheet(book, "...");
    lxw_format* bold = workbook_add_format(book);
    format_set_bold(bold);
    lxw_format* text = workbook_add_format(book);
    format_set_num_format_index(text, 49); // the built-in "@" (text) format

    const auto put = [&](lxw_row_t row, lxw_col_t col, const QString& s, lxw_format* f) {
        const QByteArray u = s.toUtf8();
        worksheet_write_string(ws, row, col, u.constData(), f);
    };
    TTimeCells times(book, ws);
    SetPageSetup(book, ws);
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
}

} // namespace

std::optional<QByteArray> WorkbookBytes(const IStringGrid& sg, const QString& deviceText,
                                        TTypeDev layout, const QString& fileName, QString* error) {
    MemoryFile memory;
    if (!memory.isValid()) {
        *error = SaveFailure(fileName, memory.error());
        return std::nullopt;
    }
    Workbook book(memory.name());
    if (!book.get()) {
        *error = LxwMessage(LXW_ERROR_CREATING_XLSX_FILE, fileName);
        return std::nullopt;
    }
    FillSheet(book.get(), sg, deviceText, layout);
    if (const lxw_error e = book.close(); e != LXW_NO_ERROR) {
        *error = LxwMessage(e, fileName);
        return std::nullopt;
    }
    std::optional<QByteArray> bytes = memory.readAll();
    if (!bytes)
        *error = SaveFailure(fileName, memory.error());
    return bytes;
}

ExportResult ExportSpreadsheet(const IStringGrid& sg, const QString& deviceText, TTypeDev layout,
                               const QString& fileName, const QString& versionText,
                               const QLocale& locale) {
    ExportResult result;
    bool xlsReplaced = false;
    const std::optional<QString> name =
        SpreadsheetFileName(fileName, &result.error, &xlsReplaced, versionText, locale);
    if (!name)
        return result;
    result.fileName = *name;
    const std::optional<QByteArray> bytes =
        WorkbookBytes(sg, deviceText, layout, result.fileName, &result.error);
    if (!bytes)
        return result;
    result = SaveFileBytes(result.fileName, *bytes);
    if (result.ok && xlsReplaced)
        result.notice = QStringLiteral("Формат .xls не поддерживается, книга сохранена как %1")
                            .arg(QFileInfo(result.fileName).fileName());
    return result;
}

std::optional<QByteArray> ExportBytes(TExportFormat format, const IStringGrid& sg,
                                      const QString& deviceText, TTypeDev layout,
                                      const QString& displayName, QString* error) {
    switch (format) {
    case TExportFormat::Spreadsheet:
        return WorkbookBytes(sg, deviceText, layout, displayName, error);
    case TExportFormat::Csv:
        return CsvBytes(sg, layout);
    default:
        return TextFileBytes(sg, deviceText, layout);
    }
}

ExportResult ExportFile(TExportFormat format, const IStringGrid& sg, const QString& deviceText,
                        TTypeDev layout, const QString& fileName) {
    switch (format) {
    case TExportFormat::Spreadsheet:
        return ExportSpreadsheet(sg, deviceText, layout, fileName);
    case TExportFormat::Csv:
        return ExportCsv(sg, layout, fileName);
    default:
        return ExportText(sg, deviceText, layout, fileName);
    }
}

} // namespace core
