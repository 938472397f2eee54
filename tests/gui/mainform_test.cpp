// SPDX-License-Identifier: MIT
#include "app/gui/exchangetab.h"
#include "app/gui/linksettingsdialog.h"
#include "app/gui/mainform.h"
#include "app/gui/savefilechooser.h"
#include "app/models/stringtablemodel.h"
#include "platform/codepage.h"
#include "platform/inifile.h"
#include "platform/widgets/radiogroup.h"
#include "tests/recordingsink.h"

#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include "tests/fullfolder.h"
#include "tests/mainpage.h"
#include "tests/qstringprinter.h"
#include "tests/ziptestutil.h"

#include <gtest/gtest.h>

namespace {

constexpr auto kFatal = QAbstractItemModelTester::FailureReportingMode::Fatal;

const char* const kMain = "[Main]\r\nCountDev=3\r\nDev1=marlo.ini\r\nDev2=plain.ini\r\n"
                          "Dev3=devices\\kp.ini\r\n\r\n; user comment\r\n[Ports]\r\n";

const char* const kMarlo = "[settings]\r\nname=Марло\r\narchtypecount=2\r\n"
                           "ArchName1=Журнал событий\r\nArchCountRec1=300\r\nArchStandart1=1\r\n"
                           "ArchName2=Журнал режимов\r\nArchStandart2=1\r\n";

const char* const kPlain = "[settings]\r\nname=Простой\r\narchtypecount=2\r\n"
                           "ArchName1=Калибровочный журнал\r\nArchCountRec1=0\r\n"
                           "ArchName2=Сервисный журнал\r\nArchCountRec2=500\r\n"
                           "[s0]\r\nID=1\r\nname=Уставка\r\ntype=4\r\n"
                           "[s1]\r\nID=2\r\nname=Режим\r\ntype=0=выкл;1=вкл\r\n"
                           "[s2]\r\nID=3\r\nname=Время\r\ntype=7\r\n";

const char* const kKp = "[settings]\r\nname=КП\r\narchtypecount=1\r\nArchName1=Журнал\r\n"
                        "ArchStandart1=3\r\n[s0]\r\nID=9\r\nname=Один\r\ntype=17\r\n";

class MainForm : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        write("main.ini", kMain);
        write("marlo.ini", kMarlo);
        write("plain.ini", kPlain);
        write("devices/kp.ini", kKp);
        qunsetenv("JOURNAL_PORTS");
    }

    void write(const QString& name, const char* utf8) {
        const QString path = dir.filePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(platform::toCp1251(QString::fromUtf8(utf8)));
    }
    void appendToMain(const char* utf8) {
        QFile f(dir.filePath("main.ini"));
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write(platform::toCp1251(QString::fromUtf8(utf8)));
    }
    void installLibrary() {
        ASSERT_TRUE(
            QFile::copy(QString::fromLocal8Bit(FAKE_OMBREL_FULL), dir.filePath("OmbrelDll.so")));
    }
    platform::IniFile mainIni() const {
        platform::IniFile ini;
        ini.load(dir.filePath("main.ini"));
        return ini;
    }

    std::unique_ptr<TForm1> create(QStringList ports = {"COM2", "COM10", "COM1"},
                                   const QString& mainIniPath = {}) {
        gui::TForm1Options o;
        o.programDirectory = dir.path();
        o.mainIniPath = mainIniPath;
        o.messages = &sink;
        o.ports = [ports] {
            QList<platform::SerialPortEntry> out;
            for (const QString& p : ports) {
                platform::SerialPortEntry e;
                e.name = p;
                e.devicePath = "/dev/tty" + p;
                e.description = "UART " + p;
                out.append(e);
            }
            return out;
        };
        o.terminate = [this] { ++terminations; };
        o.saveDialog = saveDialog ? saveDialog : &chooser;
        return std::make_unique<TForm1>(std::move(o));
    }

    // The save dialog's answer (unless a test sets `saveDialog`).
    class FixedChoice : public gui::ISaveFileChooser {
    public:
        std::optional<TChoice> choose(QWidget*, const TChoice&) override { return choice; }
        TChoice choice;
    };

    QTemporaryDir dir;
    gui::ISaveFileChooser* saveDialog = nullptr;
    RecordingSink sink;
    FixedChoice chooser;
    int terminations = 0;
};

TEST_F(MainForm, StartWithoutAccessLibrary) {
    auto form = create();
    const TMainPage page(*form);
    EXPECT_EQ(sink.messages,
              QStringList({QString::fromUtf8("E:Библиотека OmbrelDLL.dll не найдена"),
                           QString::fromUtf8("E:Проблемы при подключении к библиотеке\r"
                                             "Дальнейшая работа невозможна")}));
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(form->terminationRequested());
    // The rest of the start-up still ran.
    EXPECT_EQ(page.cbxDev()->count(), 3);
    EXPECT_EQ(page.cbxDev()->currentIndex(), -1); // no LastDev in main.ini
    EXPECT_EQ(page.VerPO()->text(), QString::fromUtf8("Версия ПО ") + core::ProgramVersionText());
    EXPECT_EQ(page.sgCells()->cell(0, 4), QString::fromUtf8("Значение новое"));
    EXPECT_EQ(page.sgTypeCells()->cell(0, 3), QString::fromUtf8("Тип данных"));
    EXPECT_EQ(page.sgGrCells()->cell(0, 0), QString::fromUtf8("Название"));
    EXPECT_EQ(form->StructV(), QVariantList({19, 18, 19}));

    // main.ini is written on the way out, its other lines untouched.
    form.reset();
    const platform::IniFile ini = mainIni();
    EXPECT_EQ(ini.readString(u"Settings", u"lastcomport", "-"), "COM1");
    EXPECT_EQ(ini.readInteger(u"Settings", u"lastcomspeed", -9), 0); // the default item "1200"
    EXPECT_EQ(ini.readInteger(u"Settings", u"lastaddr", -9), 1);
    EXPECT_EQ(ini.readInteger(u"Settings", u"Retries", -9), 5);
    EXPECT_EQ(ini.readInteger(u"Settings", u"LastDev", -9), -1);
    EXPECT_EQ(ini.readInteger(u"Settings", u"lastlink", -9), 0);
    EXPECT_TRUE(ini.valueExists(u"Position", u"Top"));
    EXPECT_TRUE(ini.valueExists(u"Position", u"Left"));
    EXPECT_TRUE(ini.toBytes().startsWith(platform::toCp1251(QString::fromUtf8(kMain))));
}

TEST_F(MainForm, TerminationEndsTheEventLoopOnceItRuns) {
    gui::TForm1Options o;
    o.programDirectory = dir.path();
    o.messages = &sink;
    o.ports = [] { return QList<platform::SerialPortEntry>(); };
    TForm1 form(std::move(o));
    QTimer::singleShot(10000, [] { QCoreApplication::exit(1); }); // a bound on the wait
    EXPECT_EQ(QCoreApplication::exec(), 0);
}

// A control the tests look for and the window lacks (a missing name, another type) fails the
// test with what was looked for, not with a null pointer further on.
TEST_F(MainForm, PageObjectNamesWhatItDoesNotFind) {
    auto form = create();
    const TMainPage page(*form);
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { page.find<QPushButton>("btnNone"); },
         "the window has no QPushButton named \"btnNone\""},
        {[&] { page.find<QLabel>("btnRead2"); }, "the window has no QLabel named \"btnRead2\""},
    };
    for (const auto& [find, message] : cases) {
        try {
            find();
            ADD_FAILURE() << "found: " << message;
        } catch (const std::logic_error& e) {
            EXPECT_EQ(e.what(), message);
        }
    }
}

TEST_F(MainForm, StartWithAccessLibrary) {
    installLibrary();
    auto form = create();
    EXPECT_TRUE(sink.messages.isEmpty()) << sink.messages.join('|').toStdString();
    EXPECT_EQ(terminations, 0);
}

TEST_F(MainForm, PortListAndRestoredSettings) {
    appendToMain("[Settings]\r\nlastcomport=COM2\r\nlastcomspeed=6\r\nlastaddr=$10\r\n"
                 "Retries=3\r\nAnswerTime=900\r\nLastDev=1\r\nlastlink=5\r\n[Position]\r\n"
                 "Top=50\r\nLeft=60\r\n");
    auto form = create();
    const TMainPage page(*form);
    ASSERT_EQ(page.cbxPort()->count(), 3);
    EXPECT_EQ(page.cbxPort()->itemText(0), "COM1");
    EXPECT_EQ(page.cbxPort()->itemText(1), "COM10");
    EXPECT_EQ(page.cbxPort()->itemText(2), "COM2");
    EXPECT_EQ(form->ComPortsArray(), std::vector<int>({1, 10, 2}));
    EXPECT_EQ(page.cbxPort()->itemData(1, Qt::ToolTipRole).toString(),
              QString::fromUtf8("/dev/ttyCOM10 — UART COM10"));
    EXPECT_EQ(page.cbxPort()->currentIndex(), 2);
    EXPECT_EQ(page.cbxSpeed()->currentText(), "57600");
    EXPECT_EQ(form->SelectedSpeed(), 57600);
    EXPECT_EQ(page.EdtAddr()->text(), "16");
    EXPECT_EQ(form->DevAdr(), 16);
    EXPECT_EQ(form->FRetries(), 3);
    EXPECT_EQ(form->FAnswerTime(), 900);
    EXPECT_EQ(page.RS232()->AnswerDelay(), 900); // the server path waits as long
    EXPECT_EQ(page.rgrRsType()->itemIndex(), 0); // lastlink=5 reads as "232"
    EXPECT_EQ(page.cbxDev()->currentIndex(), 1);
    EXPECT_EQ(form->CurDev(), form->ListDev()[1].get());
    EXPECT_EQ(form->pos(), QPoint(60, 50));
}

TEST_F(MainForm, UnknownLastPortKeepsTheFirstItemAndEmptyListSelectsNothing) {
    appendToMain("[Settings]\r\nlastcomport=com2\r\n");
    {
        auto form = create();
        const TMainPage page(*form);
        EXPECT_EQ(page.cbxPort()->currentIndex(), 0); // letter case counts
    }
    auto form = create({});
    const TMainPage page(*form);
    EXPECT_EQ(page.cbxPort()->count(), 0);
    EXPECT_TRUE(form->ComPortsArray().empty());
    form.reset();
    EXPECT_EQ(mainIni().readString(u"Settings", u"lastcomport", "-"), "");
}

TEST_F(MainForm, DeviceSelectionShapesTheViews) {
    appendToMain("[Settings]\r\nLastDev=0\r\n");
    auto form = create();
    const TMainPage page(*form);
    // The window's three grid models keep the item-model contract through device selections.
    QAbstractItemModelTester sgTester(page.sgCells(), kFatal), sgGrTester(page.sgGrCells(), kFatal),
        sgTypeTester(page.sgTypeCells(), kFatal);
    const int tsSet = page.PageControl1()->indexOf(page.tsSet());

    // First device: text-record layout.
    EXPECT_FALSE(page.PageControl1()->isTabVisible(tsSet));
    EXPECT_FALSE(page.sg()->isColumnHidden(3));
    EXPECT_EQ(page.sg()->columnWidth(3), 108);
    EXPECT_EQ(page.sg()->columnWidth(4), 108);
    EXPECT_FALSE(page.rgTypeJ()->isHidden());
    EXPECT_EQ(page.rgTypeJ()->items(), QStringList({QString::fromUtf8("Журнал событий (300)"),
                                                    QString::fromUtf8("Журнал режимов")}));
    EXPECT_EQ(form->exportFileName(), QString::fromUtf8("Марло"));

    // A plain layout hides "Значение до" and shows the record types.
    page.BtnExcel()->show();
    page.cbxDev()->setCurrentIndex(1);
    EXPECT_TRUE(page.BtnExcel()->isHidden());
    EXPECT_TRUE(page.PageControl1()->isTabVisible(tsSet));
    EXPECT_TRUE(page.sg()->isColumnHidden(3));
    EXPECT_EQ(page.sg()->columnWidth(4), 108);
    EXPECT_EQ(page.rgTypeJ()->items(), QStringList({QString::fromUtf8("Калибровочный журнал"),
                                                    QString::fromUtf8("Сервисный журнал (500)")}));
    EXPECT_EQ(page.rgTypeJ()->itemIndex(), 0);
    models::TStringTableModel* types = page.sgTypeCells();
    ASSERT_EQ(types->rowCount(), 4);
    const char* expected[3][4] = {{"0", "Уставка", "1", "float"},
                                  {"1", "Режим", "2", "список"},
                                  {"2", "Время", "3", "целое"}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(types->cell(r + 1, c), QString::fromUtf8(expected[r][c])) << r << "," << c;

    // Fewer record types after more: only the new device's rows stay.
    page.cbxDev()->setCurrentIndex(2);
    EXPECT_EQ(types->rowCount(), 2);
    EXPECT_EQ(types->cell(1, 1), QString::fromUtf8("Один"));
    EXPECT_EQ(types->cell(1, 3), "ubyte");
    EXPECT_FALSE(page.sg()->isColumnHidden(3)); // tdPlain3 shows the value before
    EXPECT_EQ(page.rgTypeJ()->items(), QStringList{QString::fromUtf8("Журнал")});
}

TEST_F(MainForm, LastDevOutsideTheListSelectsNothing) {
    appendToMain("[Settings]\r\nLastDev=7\r\n");
    auto form = create();
    const TMainPage page(*form);
    EXPECT_EQ(page.cbxDev()->currentIndex(), -1);
    EXPECT_EQ(form->CurDev(), nullptr);
    EXPECT_TRUE(page.rgTypeJ()->isHidden());
    EXPECT_EQ(page.sgTypeCells()->rowCount(), 2);
}

TEST_F(MainForm, AddressBox) {
    auto form = create();
    const TMainPage page(*form);
    QSignalSpy spy(form.get(), &TForm1::devAdrChanged);
    const struct {
        const char* text;
        int address;
        bool red;
    } cases[] = {{"abc", 1, true}, {"5", 5, false},   {"", 1, true},       {"$F7", 247, false},
                 {"0", 0, false},  {"-3", -3, false}, {"300", 300, false}, {"5 ", 1, true}};
    for (const auto& c : cases) {
        page.EdtAddr()->setText(QString::fromLatin1(c.text));
        EXPECT_EQ(form->DevAdr(), c.address) << c.text;
        EXPECT_EQ(page.EdtAddr()->palette().color(QPalette::Text),
                  c.red ? QColor(255, 0, 0) : QColor(Qt::black))
            << c.text;
    }
    EXPECT_EQ(spy.count(), 5);
    EXPECT_EQ(spy.last().at(0).toInt(), 300);

    // Saving with a non-integer address leaves lastaddr as it was and writes the rest.
    appendToMain("[Settings]\r\nlastaddr=77\r\n");
    page.EdtAddr()->setText("abc");
    form->SetRetries(9);
    form.reset();
    EXPECT_EQ(mainIni().readInteger(u"Settings", u"lastaddr", 0), 77);
    EXPECT_EQ(mainIni().readInteger(u"Settings", u"Retries", 0), 9);
}

TEST_F(MainForm, LimitCheckBox) {
    auto form = create();
    const TMainPage page(*form);
    const QList<QWidget*> range{page.LblStart(), page.lblCount(), page.EdtStart(), page.EdtCount()};
    for (QWidget* w : range)
        EXPECT_FALSE(w->isEnabled());
    page.chbLimit()->click();
    for (QWidget* w : range)
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    page.chbLimit()->click();
    for (QWidget* w : range)
        EXPECT_FALSE(w->isEnabled());
}

TEST_F(MainForm, InitialLayout) {
    auto form = create();
    const TMainPage page(*form);
    for (const char* name : {"Panel3",
                             "lblPort",
                             "cbxPort",
                             "lblSpeed",
                             "cbxSpeed",
                             "rgrRsType",
                             "lblAddress",
                             "EdtAddr",
                             "lblTypeOfDevice",
                             "cbxDev",
                             "chbLimit",
                             "Panel1",
                             "LblStart",
                             "EdtStart",
                             "lblCount",
                             "EdtCount",
                             "btnRead2",
                             "btnStop2",
                             "rgTypeJ",
                             "PBar",
                             "lblStat",
                             "lblMaxRec",
                             "BtnExcel",
                             "VerPO",
                             "btnConnect",
                             "btnRead",
                             "btnStop",
                             "BtnDisconnect",
                             "Button6",
                             "Label6",
                             "BtnConnect2",
                             "BtnDisconnect2",
                             "PageControl1",
                             "tsData",
                             "tsGroup",
                             "tsSet",
                             "sg",
                             "sgGr",
                             "sgType"})
        EXPECT_NE(form->findChild<QWidget*>(QString::fromLatin1(name)), nullptr) << name;
    for (QWidget* w :
         {static_cast<QWidget*>(page.BtnExcel()), static_cast<QWidget*>(page.rgTypeJ()),
          static_cast<QWidget*>(page.btnConnect()), static_cast<QWidget*>(page.btnRead()),
          static_cast<QWidget*>(page.btnStop()), static_cast<QWidget*>(page.BtnDisconnect()),
          static_cast<QWidget*>(page.Button6()), static_cast<QWidget*>(page.Label6()),
          static_cast<QWidget*>(page.BtnConnect2()), static_cast<QWidget*>(page.BtnDisconnect2())})
        EXPECT_TRUE(w->isHidden()) << w->objectName().toStdString();
    EXPECT_TRUE(page.btnRead2()->isEnabled());
    EXPECT_FALSE(page.btnStop2()->isEnabled());
    EXPECT_EQ(page.PageControl1()->tabText(0), QString::fromUtf8("Линейный список"));
    EXPECT_EQ(page.PageControl1()->tabText(1), QString::fromUtf8("Группировка по типам"));
    EXPECT_EQ(page.PageControl1()->tabText(2), QString::fromUtf8("Типы записей"));
    const int sgWidths[] = {31, 124, 305, 119, 110};
    for (int c = 0; c < 5; ++c)
        EXPECT_EQ(page.sg()->columnWidth(c), sgWidths[c]) << c;
    const int typeWidths[] = {31, 500, 74, 82};
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(page.sgType()->columnWidth(c), typeWidths[c]) << c;
    EXPECT_EQ(page.sgGr()->columnWidth(0), 120);
    EXPECT_EQ(page.sg()->verticalHeader()->defaultSectionSize(), 16);
    EXPECT_EQ(page.sgGr()->verticalHeader()->defaultSectionSize(), 32);
    EXPECT_EQ(page.sgCells()->rowCount(), 2);
    EXPECT_EQ(page.rgrRsType()->items(), QStringList({"232", "485"}));
    EXPECT_EQ(page.cbxSpeed()->count(), 8);
}

TEST_F(MainForm, BadValueListIdentifierStillFinishesStartUp) {
    write("plain.ini", "[settings]\r\nname=Простой\r\n[s0]\r\nID=1\r\ntype=x=a;1=b\r\n"
                       "[s1]\r\nID=2\r\ntype=4\r\n");
    installLibrary();
    auto form = create();
    const TMainPage page(*form);
    ASSERT_EQ(sink.messages.size(), 1);
    EXPECT_EQ(sink.messages[0], "E:'x' is not a valid integer value (plain.ini, [s0])");
    EXPECT_EQ(page.cbxDev()->count(), 3);
    EXPECT_FALSE(page.VerPO()->text().isEmpty());
    EXPECT_EQ(form->ListDev()[1]->ListRecType.size(), 2u);
}

TEST_F(MainForm, HiddenLibraryButtons) {
    installLibrary();
    auto form = create();
    const TMainPage page(*form);
    page.cbxPort()->setCurrentIndex(1); // COM10
    page.rgrRsType()->setItemIndex(1);
    page.EdtAddr()->setText("7");
    form->Button6Click();
    EXPECT_EQ(page.Label6()->text(), "P10 S1200 T1 A7");
    page.EdtAddr()->setText("42");
    form->Button6Click();
    EXPECT_EQ(page.Label6()->text(), QString::fromUtf8("Ошибка (Прибор не отвечает)"));

    // A typed port that names nothing gets a message and no connection attempt.
    page.cbxPort()->setEditText("abc");
    page.Label6()->setText("...");
    form->Button6Click();
    EXPECT_EQ(page.Label6()->text(), "...");
    ASSERT_EQ(sink.messages.size(), 1);
    EXPECT_TRUE(sink.messages[0].startsWith(QString::fromUtf8("W:Порт «abc» не найден")));
    // A typed COMn is used as typed.
    page.cbxPort()->setEditText("COM33");
    page.EdtAddr()->setText("1");
    form->Button6Click();
    EXPECT_EQ(page.Label6()->text(), "P33 S1200 T1 A1");

    // The fake refuses port 99: a failed connect changes nothing.
    page.cbxPort()->setEditText("COM99");
    form->BtnConnect2Click();
    EXPECT_TRUE(page.BtnConnect2()->isEnabled());
    EXPECT_FALSE(page.BtnDisconnect2()->isEnabled());
    page.cbxPort()->setCurrentIndex(0);
    form->BtnConnect2Click();
    EXPECT_FALSE(page.BtnConnect2()->isEnabled());
    EXPECT_TRUE(page.BtnDisconnect2()->isEnabled());
    EXPECT_TRUE(page.btnRead2()->isEnabled());
    form->BtnDisconnect2Click();
    EXPECT_TRUE(page.BtnConnect2()->isEnabled());
    EXPECT_FALSE(page.BtnDisconnect2()->isEnabled());
    EXPECT_FALSE(page.btnRead2()->isEnabled());
}

TEST_F(MainForm, UnwritableMainIniIsReported) {
    auto form = create();
    sink.messages.clear();
    // A directory in place of main.ini makes the atomic replacement fail.
    ASSERT_TRUE(QFile::remove(dir.filePath("main.ini")));
    ASSERT_TRUE(QDir(dir.path()).mkdir("main.ini"));
    form.reset();
    EXPECT_EQ(sink.messages,
              QStringList{"E:Unable to write to " + QDir(dir.path()).filePath("main.ini")});
}

// The save dialog opens where the last save went, on its filter: while the program runs and,
// through main.ini's [SaveDialog], after a restart; main.ini's other lines keep their bytes.
TEST_F(MainForm, SaveDialogRemembersFolderAndFilter) {
    struct Recorder : gui::ISaveFileChooser {
        std::optional<TChoice> choose(QWidget*, const TChoice& proposed) override {
            asked.append(proposed.fileName + "|" + QString::number(proposed.filterIndex));
            return answer;
        }
        std::optional<TChoice> answer;
        QStringList asked;
    } chooser;
    saveDialog = &chooser;
    appendToMain("[Settings]\r\nLastDev=1\r\n");
    create().reset(); // main.ini as a window leaves it when nothing was saved
    const QByteArray unsaved = mainIni().toBytes();
    QTemporaryDir out;
    const QString folder = out.filePath("журналы");
    ASSERT_TRUE(QDir().mkpath(folder));

    auto form = create();
    chooser.answer = gui::ISaveFileChooser::TChoice{folder + "/a.xlsx", 2};
    form->BtnExcelClick();
    chooser.answer.reset(); // cancelled: nothing changes
    form->BtnExcelClick();
    form->BtnExcelClick();
    form.reset();
    EXPECT_EQ(mainIni().toBytes(), unsaved + platform::toCp1251("[SaveDialog]\r\nFolder=" + folder +
                                                                "\r\nFilter=2\r\n"));
    create()->BtnExcelClick();
    ASSERT_TRUE(QDir(folder).removeRecursively()); // a folder that is gone: the working folder
    create()->BtnExcelClick();
    EXPECT_EQ(chooser.asked, (QStringList{"Простой|1", folder + "/Простой|2", folder + "/Простой|2",
                                          folder + "/Простой|2", "Простой|2"}));
}

// At its first show the window keeps a position at which it fits the screen and moves to one
// otherwise; Qt's own texts are Russian once its translation is installed.
TEST_F(MainForm, PlacedOnScreenAndQtSpeaksRussian) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const struct {
        QPoint saved;
        bool kept;
    } cases[] = {{{30, 20}, true}, {{769, 204}, false}};
    for (const auto& c : cases) {
        write("main.ini", kMain);
        appendToMain(QStringLiteral("[Position]\r\nTop=%1\r\nLeft=%2\r\n")
                         .arg(c.saved.y())
                         .arg(c.saved.x())
                         .toUtf8()
                         .constData());
        auto form = create();
        form->show();
        EXPECT_EQ(form->geometry().topLeft() == c.saved, c.kept);
        EXPECT_TRUE(screen.contains(form->frameGeometry())) << c.saved.x();
    }
    ASSERT_TRUE(gui::InstallQtTranslation());
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Отмена");
}

// Closing the window on a full disk: main.ini stays as it was, byte for byte, and the user is
// told.
TEST_F(MainForm, FullDiskKeepsMainIniAndSaysSo) {
    const QByteArray original = platform::toCp1251(QString::fromUtf8(kMain));
    FullFolder full({{"main.ini", original}});
    if (!full.mounted())
        GTEST_SKIP() << "mounting a tmpfs needs root (IniFile's tests use /dev/full instead)";
    auto form = create({"COM2"}, full.filePath("main.ini"));
    const TMainPage page(*form);
    EXPECT_EQ(page.cbxDev()->count(), 3);
    sink.messages.clear();
    form.reset();
    EXPECT_EQ(sink.messages, QStringList{"E:Unable to write to " + full.filePath("main.ini")});
    EXPECT_EQ(ReadWholeFile(full.filePath("main.ini")), original);
    EXPECT_EQ(full.entries(), QStringList{"main.ini"});
}

// A workbook named ".xls" is saved as ".xlsx" in the case typed; an ".xlsx" there that nobody
// named is replaced only when the user says so.
TEST_F(MainForm, XlsNameAsksBeforeReplacingTheXlsx) {
    const struct {
        const char* typed;
        const char* saved;
        bool exists;
        bool answer;
        bool asked;
        bool replaced;
    } cases[] = {
        {"REPORT.XLS", "REPORT.XLSX", true, false, true, false},
        {"REPORT.XLS", "REPORT.XLSX", true, true, true, true},
        {"new.xls", "new.xlsx", false, false, false, true},
        {"named.xlsx", "named.xlsx", true, false, false, true},
    };
    auto form = create();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        const QString saved = dir.filePath(c.saved);
        QFile::remove(saved);
        if (c.exists)
            write(c.saved, "old");
        sink.messages.clear();
        sink.answer = c.answer;
        chooser.choice = {dir.filePath(c.typed), 2};
        form->BtnExcelClick();
        const bool asked = std::any_of(sink.messages.cbegin(), sink.messages.cend(), [&](auto& m) {
            return m.startsWith("Q:") && m.contains(c.saved);
        });
        EXPECT_EQ(asked, c.asked) << sink.messages.join('\n').toStdString();
        EXPECT_EQ(ReadWholeFile(saved).startsWith("PK"), c.replaced);
        if (QString(c.typed) != c.saved) {
            EXPECT_FALSE(QFile::exists(dir.filePath(c.typed)));
        }
    }
}

} // namespace

// "Параметры связи..." and "Применить" under the diagnosis set the answer time, the retries or
// the address; the times reach main.ini at once, where journal-read reads them.
TEST_F(MainForm, LinkSettingsAndApplyingAdvice) {
    using core::TFrameEvent;
    TFrameEvent request;
    request.address = 1;
    request.function = 4;
    request.answerMs = 500;
    const auto received = [](int address, int elapsedMs) {
        TFrameEvent e;
        e.kind = core::TFrameKind::Answer;
        e.bytes = QByteArray::fromHex("0104020E00BC30");
        e.flags = TFrameEvent::Complete | TFrameEvent::CrcOk | TFrameEvent::Taken;
        e.address = address;
        e.function = 4;
        e.elapsedUs = elapsedMs * 1000LL;
        e.answerMs = 500;
        return e;
    };
    // The diagnosis of a reading whose line answered so, and "Применить" under its advice.
    const auto applyAdvice = [&](const TMainPage& page, const TFrameEvent& answer,
                                 const core::TRunResult& run) {
        for (const TFrameEvent& e : {request, answer})
            page.tsExchange()->observer()->OnFrame(e);
        page.tsExchange()->RunEnded(run);
        ASSERT_EQ(page.tsExchange()->adviceButtons().size(), 1);
        page.tsExchange()->adviceButtons()[0]->click();
    };
    core::TRunResult failedRecord, failedCount;
    failedRecord.recordsFailed = 1;
    failedCount.end = core::TRunEnd::CountReadFailed;
    const struct {
        const char* what;
        std::function<void(const TMainPage&)> act;
        int answerMs, retries;
        const char* address;
    } cases[] = {
        {"dialog, ОК",
         [](const TMainPage& page) {
             page.btnLinkSettings()->click();
             ASSERT_NE(page.linkSettingsDialog(), nullptr);
             page.linkSettingsDialog()->edtAnswerTime->setValue(1400);
             page.linkSettingsDialog()->edtRetries->setValue(2);
             page.linkSettingsDialog()->accept();
         },
         1400, 2, "1"},
        {"dialog, Отмена",
         [](const TMainPage& page) {
             page.btnLinkSettings()->click();
             page.linkSettingsDialog()->edtAnswerTime->setValue(3000);
             page.linkSettingsDialog()->reject();
         },
         500, 5, "1"},
        {"late answers: the answer time advised",
         [&](const TMainPage& page) { applyAdvice(page, received(1, 1100), failedRecord); }, 1400,
         5, "1"},
        {"another address answers: its address advised",
         [&](const TMainPage& page) { applyAdvice(page, received(7, 20), failedCount); }, 500, 5,
         "7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write("main.ini", kMain);
        auto form = create();
        const TMainPage page(*form);
        c.act(page);
        EXPECT_EQ(form->FAnswerTime(), c.answerMs);
        EXPECT_EQ(form->FRetries(), c.retries);
        EXPECT_EQ(page.RS232()->AnswerDelay(), c.answerMs);
        EXPECT_EQ(page.EdtAddr()->text(), c.address);
        const bool saved = c.answerMs != 500 || c.retries != 5;
        EXPECT_EQ(mainIni().readInteger(u"Settings", u"AnswerTime", -1), saved ? c.answerMs : -1);
        EXPECT_EQ(mainIni().readInteger(u"Settings", u"Retries", -1), saved ? c.retries : -1);
    }
}

// main.ini remembers the window's size and each device's journal and charted types.
TEST_F(MainForm, RemembersSizeJournalsAndChartTypes) {
    appendToMain("[Position]\r\nTop=20\r\nLeft=30\r\nWidth=900\r\nHeight=650\r\nMaximized=0\r\n"
                 "[Journals]\r\nDev2=2\r\n[Chart]\r\nDev2=1,3\r\n");
    {
        auto form = create();
        const TMainPage page(*form);
        EXPECT_EQ(form->size(), QSize(900, 650));
        page.cbxDev()->setCurrentIndex(1);
        EXPECT_EQ(page.rgTypeJ()->itemIndex(), 1); // "Сервисный журнал (500)"
        page.cbxDev()->setCurrentIndex(0);
        EXPECT_EQ(page.rgTypeJ()->itemIndex(), 0);
        page.rgTypeJ()->setItemIndex(1);
        page.cbxDev()->setCurrentIndex(1);
        page.cbxDev()->setCurrentIndex(0);
        EXPECT_EQ(page.rgTypeJ()->itemIndex(), 1);
        form->resize(800, 600);
    }
    const platform::IniFile ini = mainIni();
    EXPECT_EQ(ini.readInteger(u"Position", u"Width", 0), 800);
    EXPECT_EQ(ini.readInteger(u"Position", u"Height", 0), 600);
    EXPECT_EQ(ini.readInteger(u"Position", u"Maximized", -1), 0);
    EXPECT_EQ(ini.readInteger(u"Position", u"Top", 0), 20); // [Position] keeps its keys
    EXPECT_EQ(ini.readInteger(u"Journals", u"Dev1", 0), 2);
    EXPECT_EQ(ini.readInteger(u"Journals", u"Dev2", 0), 2);
    EXPECT_EQ(ini.readString(u"Chart", u"Dev2", {}), "1,3");
    EXPECT_TRUE(ini.toBytes().startsWith(platform::toCp1251(QString::fromUtf8(kMain))));
}
