#include "platform/file_system.h"

#include "support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace loglathe {
namespace {

namespace stdfs = std::filesystem;

using test::TempDir;

// Records every full path handed to makeDir, then lets the disk do the work.
class RecordingFs : public DiskFileSystem {
public:
    using DiskFileSystem::DiskFileSystem;
    std::vector<std::string> made;

private:
    bool makeDir(std::string_view p) override {
        made.emplace_back(p);
        return DiskFileSystem::makeDir(p);
    }
};

TEST(FileSystem, CreateNeedsExistingDirectoryWithTrailingSlash) {
    TempDir dir;
    EXPECT_FALSE(fsCreate(dir.folder()));
    EXPECT_TRUE(fsCreate(dir.root()));
    EXPECT_FALSE(fsCreate(""));
    std::ofstream(dir.root() + "f.txt") << "x";
    EXPECT_FALSE(fsCreate(dir.root() + "f.txt/"));
    EXPECT_FALSE(fsCreate(dir.root() + "missing/"));
}

TEST(FileSystem, ListsFilesAndFoldersInByteOrder) {
    TempDir dir;
    std::ofstream(dir.root() + "b.txt") << "bb";
    std::ofstream(dir.root() + "A.txt") << "a";
    stdfs::create_directory(dir.root() + "sub");
    ASSERT_EQ(mkfifo((dir.root() + "fifo").c_str(), 0600), 0);
    auto fs = fsCreate(dir.root());
    DirListing listing;
    fsList(*fs, "", listing);
    std::vector<std::string> names;
    for (const auto& [name, entry] : listing)
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"A.txt", "b.txt", "sub"}));
    EXPECT_EQ(listing["b.txt"].info.kind, PathKind::File);
    EXPECT_EQ(listing["b.txt"].info.size, 2u);
    EXPECT_EQ(listing["sub"].info.kind, PathKind::Directory);
    PathInfo info;
    ASSERT_TRUE(fsStat(*fs, "nothing", info));
    EXPECT_EQ(info.kind, PathKind::Missing);
    ASSERT_TRUE(fsStat(*fs, "fifo", info));
    EXPECT_EQ(info.kind, PathKind::Other);
}

TEST(FileSystem, MakeDirsCreatesOutermostFirstWithPrivatePermissions) {
    TempDir dir;
    RecordingFs fs(dir.root());
    stdfs::create_directory(dir.root() + "A_out");
    ASSERT_TRUE(fsMakeDirs(fs, "A_out/CAN1_X/2024/01/31/"));
    std::string r = dir.root();
    EXPECT_EQ(fs.made,
              (std::vector<std::string>{r + "/A_out/CAN1_X", r + "/A_out/CAN1_X/2024",
                                        r + "/A_out/CAN1_X/2024/01", r + "/A_out/CAN1_X/2024/01/31"}));
    struct stat st {};
    ASSERT_EQ(::stat((r + "A_out/CAN1_X/2024").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    fs.made.clear();
    EXPECT_TRUE(fsMakeDirs(fs, ""));
    EXPECT_TRUE(fsMakeDirs(fs, "///"));
    EXPECT_TRUE(fs.made.empty());

    std::ofstream(r + "file") << "x";
    EXPECT_FALSE(fsMakeDirs(fs, "file/below"));
    EXPECT_FALSE(stdfs::exists(r + "file/below"));
}

TEST(FileSystem, OpenRemoveAndEmptySlots) {
    TempDir dir;
    auto fs = fsCreate(dir.root());
    auto out = fsOpen(*fs, "x.txt", kFsWrite);
    ASSERT_TRUE(out);
    EXPECT_EQ(streamWrite(out.get(), "abc", 3), 3);
    EXPECT_EQ(streamClose(out), 0);
    EXPECT_FALSE(fsOpen(*fs, "x.txt", 0));
    auto in = fsOpen(*fs, "x.txt", kFsRead);
    ASSERT_TRUE(in);
    EXPECT_EQ(streamSize(in.get()), 3);
    EXPECT_TRUE(fsRemove(*fs, "x.txt"));
    EXPECT_FALSE(fsRemove(*fs, "x.txt"));

    FileSystem base("/");
    EXPECT_FALSE(fsRemove(base, "x"));
    EXPECT_FALSE(fsOpen(base, "x", kFsRead));
    EXPECT_FALSE(fsEnsureDir(base, "x"));
}

TEST(Paths, JoinAndComponents) {
    TempDir dir;
    auto fs = fsCreate(dir.root());
    std::string out;
    fsJoin(*fs, "a/b", out);
    EXPECT_EQ(out, dir.root() + "a/b");
    out.clear();
    fsJoin(*fs, "..", out);
    EXPECT_EQ(out, "");

    EXPECT_EQ(pathDirName("a/b/c"), "a/b/");
    EXPECT_EQ(pathDirName("/x"), "/");
    EXPECT_EQ(pathDirName("abc"), "");
    EXPECT_EQ(pathBaseName("a/b/c.txt"), "c.txt");
    EXPECT_EQ(pathBaseName("c"), "c");
    EXPECT_EQ(pathExtension("log.txt"), "txt");
    EXPECT_EQ(pathExtension("dir.d/a.b.TXT"), "TXT");
    EXPECT_EQ(pathExtension("x.tar.gz"), "gz");
    EXPECT_EQ(pathExtension("name."), "");
    EXPECT_EQ(pathExtension("dir/txt"), "txt");
    EXPECT_TRUE(pathIsAbsolute("/a"));
    EXPECT_FALSE(pathIsAbsolute("a"));
    EXPECT_FALSE(pathIsAbsolute(""));
}

TEST(Paths, NormalizeMakesAbsoluteAndMarksDirectories) {
    TempDir dir;
    stdfs::create_directory(dir.root() + "in");
    std::ofstream(dir.root() + "in/f.txt") << "x";
    std::string cwd;
    ASSERT_TRUE(pathFromCwd(cwd));
    EXPECT_EQ(cwd.back(), '/');

    std::string p = dir.folder() + "//in";
    pathNormalize(p);
    EXPECT_EQ(p, dir.root() + "in/");
    p = dir.root() + "in/f.txt/";
    pathNormalize(p);
    EXPECT_EQ(p, dir.root() + "in/f.txt");
    p = "C:\\logs\\x.txt";
    pathNormalize(p);
    EXPECT_EQ(p, cwd + "C:/logs/x.txt");
    p = "a///b";
    pathNormalize(p);
    EXPECT_EQ(p, cwd + "a//b");
    p = "..";
    pathNormalize(p);
    EXPECT_EQ(p, "");

    std::string saved = stdfs::current_path();
    stdfs::current_path(dir.folder());
    p = "./in";
    pathNormalize(p);
    stdfs::current_path(saved);
    EXPECT_EQ(p, dir.root() + "./in/");
}

} // namespace
} // namespace loglathe
