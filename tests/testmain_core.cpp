// SPDX-License-Identifier: MIT
#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    // Readings go into the journal archive at its default location: each test process (and the
    // programs it starts) keeps it in a folder of its own, never in the user's.
    QTemporaryDir dataHome(QDir::tempPath() + QStringLiteral("/journal-test-data-XXXXXX"));
    qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());
    qunsetenv("JOURNAL_ARCHIVE");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
