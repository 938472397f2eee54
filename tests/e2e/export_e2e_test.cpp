// SPDX-License-Identifier: MIT
// "Сохранить..." in the real window after a real run: the files read back.
#include "tests/e2e/e2efixture.h"

#include "platform/codepage.h"

#include <QJsonArray>
#include <QPushButton>

#include "tests/qstringprinter.h"
#include "tests/ziptestutil.h"

namespace e2e {
namespace {

TEST_F(WindowRun, TextFileOfSingleAndTwoValueLayouts) {
    const struct {
        const char* content;
        const char* device;
        const char* expected;
    } cases[] = {
        {"st2", "Счётчик СТ-2",
         "Прибор:Счётчик СТ-2\r\n"
         "0\t13.09.20 12:00:00\tНачало журнала\t0\r\n"
         "1\t13.09.20 12:26:40\tРасход, м3/ч\t12.7500000\r\n"
         "2\t13.09.20 12:30:00\tИмпульсный вес\t10\r\n"
         "3\t13.09.20 13:00:00\tВремя поверки\t01.09.2020\r\n"
         "4\t14.09.20 08:15:00\tРасход, м3/ч\t13.1250000\r\n"
         "5\t15.09.20 09:00:00\tИмпульсный вес\t25\r\n"},
        {"kp3", "Контроллер КП-3",
         "Прибор:Контроллер КП-3\r\n"
         "0\t0 00:00:59\tВерхняя граница\t80.0000000\t85.5000000\r\n"
         "1\t0 01:00:00\tНижняя граница\t10.0000000\t12.0000000\r\n"
         "2\t1 01:01:01\tРежим выхода\tвыкл\tвкл\r\n"
         "3\t1 01:03:20\tЗадержка, с\t30\t45\r\n"
         "4\t2 00:00:00\tРежим выхода\tвкл\tвыкл\r\n"
         "5\t2 07:33:20\t7\t1\t2\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        form.reset();
        simulator.reset();
        startSimulator(QString::fromLatin1(c.content));
        createForm(QString::fromUtf8(c.device));
        read();
        ASSERT_FALSE(page().BtnExcel()->isHidden());
        chooser.answer = gui::ISaveFileChooser::TChoice{dir.filePath(c.content), 1};
        page().BtnExcel()->click();
        // The folder of the last save, kept in main.ini, is where the next window's dialog
        // opens (none before the first save).
        EXPECT_EQ(chooser.proposed, &c == cases ? QString::fromUtf8(c.device)
                                                : dir.filePath(QString::fromUtf8(c.device)));
        EXPECT_EQ(chooser.proposedFilter, 1);
        EXPECT_TRUE(sink.messages.isEmpty()) << sink.messages.join('|').toStdString();
        EXPECT_EQ(ReadWholeFile(dir.filePath(QString::fromLatin1(c.content) + ".txt")),
                  platform::toCp1251(QString::fromUtf8(c.expected)));
    }
}

TEST_F(WindowRun, WorkbookCellsWidthsAndFormats) {
    const struct {
        const char* content;
        const char* device;
        QStringList header; // A2..D2
        QStringList row3;   // A3..D3
        int lastRow;
    } cases[] = {
        {"kp3",
         "Контроллер КП-3",
         {"Дата время", "Название параметра", "Значение до", "Значение после"},
         {"0 00:00:59", "Верхняя граница", "80.0000000", "85.5000000"},
         8},
        {"rt10",
         "Регулятор РТ-10",
         {"Дата время", "Название параметра", "Значение", ""},
         {"date 2020-09-13 12:26:40", "Уставка температуры", "21.5000000", ""},
         16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        form.reset();
        simulator.reset();
        startSimulator(QString::fromLatin1(c.content));
        createForm(QString::fromUtf8(c.device));
        read();
        chooser.answer = gui::ISaveFileChooser::TChoice{dir.filePath(c.content), 2};
        page().BtnExcel()->click();
        EXPECT_TRUE(sink.messages.isEmpty()) << sink.messages.join('|').toStdString();

        const QJsonObject book =
            ReadWorkbook(dir.filePath(QString::fromLatin1(c.content) + ".xlsx"));
        ASSERT_FALSE(book.isEmpty());
        EXPECT_EQ(book["sheets"].toArray(), QJsonArray{"..."});
        const QJsonObject cols = book["cols"].toObject();
        const int widths[] = {20, 40, 50, 50};
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(int(cols[QString::number(i + 1)].toDouble()), widths[i]) << i;
        const QJsonObject cells = book["cells"].toObject();
        auto text = [&](const QString& ref) { return cells[ref].toObject()["text"].toString(); };
        EXPECT_EQ(text("B1"), QString::fromUtf8("Прибор:") + QString::fromUtf8(c.device));
        EXPECT_FALSE(cells.contains("A1"));
        const QString letters = "ABCD";
        for (int i = 0; i < 4; ++i) {
            const QString h = letters[i] + QString("2"), d = letters[i] + QString("3");
            EXPECT_EQ(text(h), c.header[i]) << h.toStdString();
            EXPECT_TRUE(cells[h].toObject()["bold"].toBool()) << h.toStdString();
            EXPECT_EQ(text(d), c.row3[i]) << d.toStdString();
            // Value columns are text cells, the others general; a date-time is shown as read.
            if (c.row3[i].startsWith("date")) {
                EXPECT_EQ(cells[d].toObject()["code"].toString(), "dd\\.mm\\.yy hh:mm:ss");
            } else if (!c.row3[i].isEmpty()) {
                EXPECT_EQ(cells[d].toObject()["format"].toInt(), i >= 2 ? 49 : 0)
                    << d.toStdString();
            }
        }
        // One row per list row from row 3 on; the number column is not exported.
        EXPECT_TRUE(cells.contains("A" + QString::number(c.lastRow)));
        EXPECT_FALSE(cells.contains("A" + QString::number(c.lastRow + 1)));
        for (auto it = cells.begin(); it != cells.end(); ++it)
            EXPECT_FALSE(it.value().toObject()["text"].toString().startsWith("number"))
                << it.key().toStdString();
    }
}

} // namespace
} // namespace e2e
