// SPDX-License-Identifier: MIT
#include "platform/cataloguelocation.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "tests/qstringprinter.h"

#include <gtest/gtest.h>

namespace {

void write(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
}

// An installation tree: <root>/usr/lib/journal-reader (programs) and the default catalogue at
// the configured relative place.
struct Tree {
    QTemporaryDir root;
    QString programs = root.filePath("usr/lib/journal-reader");
    QString catalogue =
        QDir::cleanPath(QDir(programs).filePath(platform::installedCatalogueRelativePath()));
    QString config = root.filePath("home/.config");
    Tree() { QDir().mkpath(programs); }
};

TEST(CatalogueLocation, ProgramFolderWithMainIniIsUsedAsItIs) {
    Tree t;
    write(QDir(t.programs).filePath("main.ini"), "[Main]\r\n");
    write(QDir(t.catalogue).filePath("main.ini"), "[Main]\r\n"); // ignored: a main.ini is beside
    platform::CatalogueLocation l = platform::catalogueLocation(t.programs, t.config);
    EXPECT_FALSE(l.installed());
    EXPECT_EQ(l.mainIniPath, QDir(t.programs).filePath("main.ini"));
    EXPECT_EQ(l.deviceDirectory, t.programs);
    EXPECT_TRUE(platform::seedUserMainIni(l));
    EXPECT_FALSE(QFile::exists(t.config));
}

TEST(CatalogueLocation, WithoutAnyCatalogueTheProgramFolderReadsAsDefaults) {
    Tree t;
    const platform::CatalogueLocation l = platform::catalogueLocation(t.programs, t.config);
    EXPECT_FALSE(l.installed());
    EXPECT_EQ(l.mainIniPath, QDir(t.programs).filePath("main.ini"));
}

TEST(CatalogueLocation, InstalledProgramSeedsTheUsersMainIniOnce) {
    Tree t;
    write(QDir(t.catalogue).filePath("main.ini"), "[Main]\r\nCountDev=1\r\n");
    platform::CatalogueLocation l = platform::catalogueLocation(t.programs, t.config);
    ASSERT_TRUE(l.installed());
    EXPECT_EQ(l.mainIniPath, t.config + "/journal-reader/main.ini");
    EXPECT_EQ(l.deviceDirectory, t.catalogue);
    EXPECT_EQ(l.defaultMainIni, QDir(t.catalogue).filePath("main.ini"));

    ASSERT_TRUE(platform::seedUserMainIni(l));
    QFile seeded(l.mainIniPath);
    ASSERT_TRUE(seeded.open(QIODevice::ReadOnly));
    EXPECT_EQ(seeded.readAll(), QByteArray("[Main]\r\nCountDev=1\r\n"));
    EXPECT_TRUE(seeded.permissions() & QFile::WriteOwner);
    seeded.close();

    // The user's settings survive later starts.
    write(l.mainIniPath, "[Settings]\r\nlastaddr=7\r\n");
    platform::CatalogueLocation again = platform::catalogueLocation(t.programs, t.config);
    ASSERT_TRUE(platform::seedUserMainIni(again));
    QFile kept(again.mainIniPath);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("[Settings]\r\nlastaddr=7\r\n"));
}

TEST(CatalogueLocation, UnwritableConfigurationFallsBackToTheInstalledDefault) {
    Tree t;
    write(QDir(t.catalogue).filePath("main.ini"), "[Main]\r\n");
    write(t.config, "a file where the folder should be");
    platform::CatalogueLocation l = platform::catalogueLocation(t.programs, t.config);
    QString message;
    EXPECT_FALSE(platform::seedUserMainIni(l, &message));
    EXPECT_TRUE(message.startsWith("Unable to write to "));
    EXPECT_EQ(l.mainIniPath, l.defaultMainIni);
}

} // namespace
