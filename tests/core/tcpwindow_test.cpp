// SPDX-License-Identifier: MIT
#include "app/core/tcpwindow.h"

#include "platform/inifile.h"
#include "tests/ziptestutil.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// The values of TcpWindow and --tcp-window: "auto" or 1..16, nothing else.
TEST(TcpWindow, Values) {
    const std::pair<const char*, int> good[] = {
        {"auto", core::kTcpWindowAuto}, {" AUTO ", core::kTcpWindowAuto}, {"1", 1}, {"16", 16}};
    for (const auto& [text, window] : good)
        EXPECT_EQ(core::ParseTcpWindow(QString::fromUtf8(text)), window) << text;
    for (const char* text : {"0", "17", "-1", "+4", "0x4", "$4", "4.0", "", "автоматически"})
        EXPECT_FALSE(core::ParseTcpWindow(QString::fromUtf8(text))) << text;
}

// Where a reading of an endpoint begins and what main.ini remembers after it.
TEST(TcpWindow, RememberedPerEndpoint) {
    QTemporaryDir dir;
    const QString ini = dir.filePath("main.ini");
    const auto write = [&](const QByteArray& text) {
        QFile f(ini);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    };
    write("; kept\r\n[Settings]\r\nRetries=3\r\n");
    const QString a = QStringLiteral("tcp://10.0.0.5"), b = QStringLiteral("tcp://10.0.0.6:1502");
    QString error;
    auto plan = core::PlanTcpWindow(ini, a, std::nullopt, &error);
    EXPECT_EQ(plan.endpoint, "tcp://10.0.0.5:502");
    EXPECT_EQ(plan.window, core::kTcpWindowAuto);
    EXPECT_EQ(plan.startWindow, 1);
    ASSERT_TRUE(core::RememberTcpWindow(ini, plan, 8, false, &error));
    EXPECT_EQ(core::PlanTcpWindow(ini, a, std::nullopt, &error).startWindow, 8);
    EXPECT_EQ(core::PlanTcpWindow(ini, b, std::nullopt, &error).startWindow, 1);

    // A fallback remembers 1, also under a fixed window; a fixed window alone writes nothing.
    plan = core::PlanTcpWindow(ini, b, 4, &error);
    EXPECT_EQ(plan.window, 4);
    ASSERT_TRUE(core::RememberTcpWindow(ini, plan, 4, false, &error));
    EXPECT_FALSE(platform::IniFile(ReadWholeFile(ini)).valueExists(u"TcpWindow", plan.endpoint));
    ASSERT_TRUE(core::RememberTcpWindow(ini, core::PlanTcpWindow(ini, a, std::nullopt, &error), 1,
                                        true, &error));
    EXPECT_EQ(core::PlanTcpWindow(ini, a, std::nullopt, &error).startWindow, 1);
    EXPECT_TRUE(error.isEmpty());
    EXPECT_TRUE(ReadWholeFile(ini).startsWith("; kept\r\n[Settings]\r\nRetries=3\r\n"));

    // Serial ports and rtu+tcp:// take one request at a time whatever the setting.
    for (const char* port : {"/dev/ttyUSB0", "rtu+tcp://10.0.0.5:4001", ""}) {
        plan = core::PlanTcpWindow(ini, QString::fromUtf8(port), core::kTcpWindowAuto, &error);
        EXPECT_EQ(plan.window, 1) << port;
        EXPECT_TRUE(plan.endpoint.isEmpty()) << port;
    }

    // [Settings] TcpWindow; a wrong value reads one request at a time and says why.
    write("[Settings]\r\nTcpWindow=4\r\n");
    EXPECT_EQ(core::PlanTcpWindow(ini, a, std::nullopt, &error).window, 4);
    write("[Settings]\r\nTcpWindow=32\r\n");
    plan = core::PlanTcpWindow(ini, a, std::nullopt, &error);
    EXPECT_EQ(plan.window, 1);
    EXPECT_EQ(error, "main.ini, [Settings] TcpWindow: Окно запросов «32» не подходит: укажите auto "
                     "или число от 1 до 16; читается по одному запросу");
}

} // namespace
