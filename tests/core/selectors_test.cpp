// SPDX-License-Identifier: MIT
#include "app/core/selectors.h"

#include "tests/qstringprinter.h"

#include <gtest/gtest.h>

namespace {

TEST(Selectors, PortChoice) {
    qunsetenv("JOURNAL_PORTS");
    const QStringList items{"COM1", "COM10", "COM2"};
    const std::vector<int> numbers{1, 10, 2};
    const struct {
        int index;
        const char* text;
        int number; // 0: an error message
    } cases[] = {
        {1, "COM10", 10}, // the selected item
        {-1, "", 0},      // empty list or nothing selected
        {-1, "COM2", 2},  // typed text naming an item
        {0, "com7", 7},   // typed COMn not in the list, used as typed
        {0, " COM7 ", 7},
        {0, "abc", 0},
        {0, "COM0", 0},
        {0, "COM256", 0},
        {0, "/no/such/device", 0},
        {0, "tcp://::1:502", 0},       // a malformed endpoint
        {0, "rtu+tcp://127.0.0.1", 0}, // rtu+tcp needs a port
        {7, "COM1", 1},                // an index beyond the items is never used
    };
    for (const auto& c : cases) {
        const core::TPortChoice p = core::ResolvePortChoice(
            items, numbers, c.index, QString::fromLatin1(c.text), "/nonexistent/main.ini");
        EXPECT_EQ(p.number, c.number) << c.text;
        EXPECT_EQ(p.ok(), c.number != 0) << c.text;
    }
    // An existing device path gets a port number that leads back to it.
    const core::TPortChoice dev =
        core::ResolvePortChoice(items, numbers, 0, "/dev/null", "/nonexistent/main.ini");
    ASSERT_TRUE(dev.ok()) << dev.error.toStdString();
    EXPECT_EQ(platform::PortList::devicePathFor(dev.number, "/nonexistent/main.ini"), "/dev/null");
    // So does a network endpoint, in its one spelling.
    const core::TPortChoice net =
        core::ResolvePortChoice(items, numbers, 0, " TCP://127.0.0.1 ", "/nonexistent/main.ini");
    ASSERT_TRUE(net.ok()) << net.error.toStdString();
    EXPECT_EQ(platform::PortList::devicePathFor(net.number, "/nonexistent/main.ini"),
              "tcp://127.0.0.1:502");
    qunsetenv("JOURNAL_PORTS");
}

TEST(Selectors, SelectedSpeed) {
    const struct {
        int index;
        const char* text;
        int speed;
    } cases[] = {{0, "1200", 1200}, {4, "19200", 19200}, {7, "115200", 115200},
                 {-1, "", 0},       {8, "x", 0},         {-1, "250000", 250000},
                 {4, "abc", 0},     {4, "9600", 9600},   {-1, "-5", 0},
                 {3, "0", 0}};
    for (const auto& c : cases)
        EXPECT_EQ(core::SelectedSpeedFor(c.index, QString::fromLatin1(c.text)), c.speed)
            << c.index << " " << c.text;
}

TEST(Selectors, DeviceViewByFirstJournalLayout) {
    const struct {
        int layout;
        bool tab, before;
    } cases[] = {{tdPlain, true, false}, {tdMarlo, false, true}, {tdPlain2, true, false},
                 {tdPlain3, true, true}, {tdPlain4, true, true}, {tdQuint, false, true},
                 {6, true, false},       {255, true, false}};
    for (const auto& c : cases) {
        TDevInfo dev;
        dev.Journal[0].typedev = static_cast<TTypeDev>(c.layout);
        dev.Journal[1].typedev = tdMarlo; // only the first journal counts
        const core::TDeviceView v = core::DeviceViewFor(dev);
        EXPECT_EQ(v.recTypeTabVisible, c.tab) << c.layout;
        EXPECT_EQ(v.valueBeforeVisible, c.before) << c.layout;
    }
}

// A journal name is shown as it is written, "%1" and "%2" included.
TEST(MainFormLogic, JournalItemsKeepTheNames) {
    TDevInfo dev;
    dev.CountJournals = 3;
    const std::pair<const char*, int> journals[] = {{"Журнал %1 проц", 50}, {"%2", 0}, {"%1%2", 7}};
    for (int j = 0; j < 3; ++j) {
        dev.Journal[j].Name = QString::fromUtf8(journals[j].first);
        dev.Journal[j].CountRec = journals[j].second;
    }
    EXPECT_EQ(core::JournalItems(dev),
              QStringList({QString::fromUtf8("Журнал %1 проц (50)"), "%2", "%1%2 (7)"}));
}

} // namespace
