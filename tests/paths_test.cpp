// Path helpers: directory part of a path, existence, and creating only the
// missing trailing levels of a directory.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/paths.h"
#include "test_files.h"

TEST(Paths, DirOfCutsAtLastSeparatorOfEitherKind) {
    char out[64];
    EXPECT_TRUE(dir_of("D:\\game\\server\\host.exe", out));
    EXPECT_STREQ("D:\\game\\server", out);
    EXPECT_TRUE(dir_of("D:\\game\\server/./hook_log/", out));
    EXPECT_STREQ("D:\\game\\server/./hook_log", out);
    EXPECT_TRUE(dir_of("/host", out));
    EXPECT_STREQ("", out);
    EXPECT_FALSE(dir_of("host.exe", out));
    EXPECT_STREQ("", out);
    EXPECT_TRUE(dir_of("a/b", nullptr));
}

TEST(Paths, DirOfWorksInPlace) {
    char buf[32];
    std::strcpy(buf, "/opt/game/host");
    EXPECT_TRUE(dir_of(buf, buf));
    EXPECT_STREQ("/opt/game", buf);
}

TEST(Paths, EmptyPathAndFilesCountAsExisting) {
    testkit::TempDir dir;
    write_file(dir.Path() + "/file", "x");
    EXPECT_TRUE(dir_exists(""));
    EXPECT_TRUE(dir_exists(dir.Path().c_str()));
    EXPECT_TRUE(dir_exists((dir.Path() + "/file").c_str()));
    EXPECT_FALSE(dir_exists((dir.Path() + "/none").c_str()));
}

TEST(Paths, MakeDirsCreatesOnlyMissingLevelsTopDown) {
    testkit::TempDir dir;
    std::string a = dir.Path() + "/a";
    ASSERT_EQ(0, make_dirs(a.c_str()));
    write_file(a + "/keep", "kept"); // an existing level is not recreated
    std::string deep = a + "\\b/c";
    EXPECT_EQ(0, make_dirs(deep.c_str()));
    EXPECT_TRUE(dir_exists((a + "/b/c").c_str()));
    EXPECT_EQ("kept", read_lines(a + "/keep").at(0));
    EXPECT_EQ(0, make_dirs(deep.c_str()));
}

TEST(Paths, MakeDirsKeepsTheDotLevelsOfTheLogDirectory) {
    testkit::TempDir dir;
    std::string logDir = dir.Path() + "/./hook_log";
    EXPECT_EQ(0, make_dirs(logDir.c_str()));
    EXPECT_TRUE(dir_exists((dir.Path() + "/hook_log").c_str()));
}

TEST(Paths, MakeDirsFailsWhenAFileIsInTheWay) {
    testkit::TempDir dir;
    write_file(dir.Path() + "/blocker", "x");
    std::string blocked = dir.Path() + "/sub/blocker/x";
    write_file(dir.Path() + "/sub", "file, not a directory");
    EXPECT_EQ(-2, make_dirs((dir.Path() + "/blocker/x").c_str()));
    EXPECT_EQ(-2, make_dirs(blocked.c_str()));
}

TEST(Paths, CreateDirForMakesTheDirectoryOfATrailingSlashPath) {
    testkit::TempDir dir;
    std::string logDir = dir.Path() + "/./hook_log/";
    EXPECT_EQ(0, create_dir_for(logDir.c_str()));
    EXPECT_TRUE(dir_exists((dir.Path() + "/hook_log").c_str()));
    EXPECT_EQ(0, create_dir_for("no-separator"));
}
