// SPDX-License-Identifier: MIT
#include "app/core/accesslibrarybinding.h"
#include "tests/recordingsink.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A program directory holding the given stand-in library as OmbrelDll.so.
QString programDirWith(QTemporaryDir& dir, const char* library) {
    EXPECT_TRUE(dir.isValid());
    if (library) {
        EXPECT_TRUE(QFile::copy(QString::fromLocal8Bit(library), dir.filePath("OmbrelDll.so")));
    }
    return dir.path();
}

TEST(AccessLibrary, BindsAllNineEntryPoints) {
    QTemporaryDir dir;
    RecordingSink sink;
    core::TAccessLibraryBinding lib;
    ASSERT_TRUE(lib.LoadAccessLibrary(programDirWith(dir, FAKE_OMBREL_FULL), &sink));
    EXPECT_TRUE(sink.messages.isEmpty());
    EXPECT_TRUE(lib.isComplete());

    EXPECT_TRUE(lib.Connect(3, 9600, 1));
    EXPECT_FALSE(lib.Connect(99, 9600, 0));   // the stand-in refuses port 99
    EXPECT_TRUE(lib.Connect(3, 9600, 0x101)); // the link type travels as 8 bits
    std::uint8_t buf[256] = {};
    ASSERT_EQ(lib.GetDevName(5, buf, 255), 0);
    EXPECT_EQ(QByteArray(reinterpret_cast<char*>(buf + 1), buf[0]), QByteArray("P3 S9600 T1 A5"));
    EXPECT_EQ(lib.GetDevName(42, buf, 255), 1);

    std::memset(buf, 0, sizeof buf);
    ASSERT_EQ(lib.ReadInputRegister(1, 0x1234, 1, 18, buf), 0);
    EXPECT_EQ(buf[0], 0x34);
    EXPECT_EQ(buf[1], 0x12);
    EXPECT_EQ(lib.ReadHoldingRegister(1, 0, 1, 18, buf), 42);

    lib.Retries(7);
    ASSERT_EQ(lib.AnyFunction(1, 65, 7, buf), 0);
    EXPECT_EQ(buf[0], 65);
    EXPECT_EQ(buf[1], 7);
    EXPECT_EQ(buf[2], 7); // the retry count reached the library
    lib.Disconnect();
}

TEST(AccessLibrary, ReasonOfARefusedConnectComesFromTheOptionalEntryPoint) {
    QTemporaryDir withDetail;
    core::TAccessLibraryBinding lib;
    ASSERT_TRUE(lib.LoadAccessLibrary(programDirWith(withDetail, FAKE_OMBREL_DETAIL), nullptr));
    EXPECT_FALSE(lib.Connect(99, 9600, 0));
    EXPECT_EQ(lib.LastErrorDetail(), QStringLiteral("port 99 refused"));
    EXPECT_TRUE(lib.Connect(3, 9600, 0));
    EXPECT_EQ(lib.LastErrorDetail(), QString());

    // A library of the nine entry points only is complete and gives no reason.
    QTemporaryDir nineOnly;
    core::TAccessLibraryBinding plain;
    ASSERT_TRUE(plain.LoadAccessLibrary(programDirWith(nineOnly, FAKE_OMBREL_FULL), nullptr));
    EXPECT_EQ(plain.FDllLastErrorText, nullptr);
    EXPECT_FALSE(plain.Connect(99, 9600, 0));
    EXPECT_EQ(plain.LastErrorDetail(), QString());
}

TEST(AccessLibrary, MissingEntryPointFailsWithoutMessage) {
    QTemporaryDir dir;
    RecordingSink sink;
    core::TAccessLibraryBinding lib;
    EXPECT_FALSE(lib.LoadAccessLibrary(programDirWith(dir, FAKE_OMBREL_PARTIAL), &sink));
    EXPECT_TRUE(sink.messages.isEmpty());
    EXPECT_NE(lib.FHandle, nullptr);
    // Resolved in order up to the first missing one.
    EXPECT_NE(lib.FDLLTest, nullptr);
    EXPECT_EQ(lib.FDllReadInputRegister, nullptr);
    EXPECT_EQ(lib.FDllRetries, nullptr);
    EXPECT_TRUE(lib.loadError().contains("ReadInputRegister"));
    // Calls through missing entry points fail instead of crashing.
    std::uint8_t buf[256] = {};
    EXPECT_EQ(lib.ReadInputRegister(1, 0, 1, 18, buf), 3);
    EXPECT_EQ(lib.AnyFunction(1, 65, 7, buf), 3);
    lib.Retries(1);
}

TEST(AccessLibrary, MissingFileShowsTheMessage) {
    QTemporaryDir dir;
    RecordingSink sink;
    core::TAccessLibraryBinding lib;
    EXPECT_FALSE(lib.LoadAccessLibrary(programDirWith(dir, nullptr), &sink));
    EXPECT_EQ(sink.messages,
              QStringList{QString::fromUtf8("E:Библиотека OmbrelDLL.dll не найдена")});
    EXPECT_EQ(lib.FHandle, nullptr);
    EXPECT_FALSE(lib.Connect(1, 9600, 0));
    std::uint8_t buf[256] = {};
    EXPECT_EQ(lib.GetDevName(1, buf, 255), 3);
    lib.Disconnect();
}

} // namespace
