#include "common/fs_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/test_env.h"

namespace pondrel {
namespace {

using test::ReadFile;
using test::WriteFile;

TEST(FsUtil, DirectoryChainsAndAtomicReplacement) {
  test::ScopedTestEnv env(false);
  std::string deep = env.Path("a/b/c/d");
  EXPECT_TRUE(CreateDirectoryChain(deep));
  EXPECT_TRUE(CreateDirectoryChain(deep));  // already there
  WriteFile(env.Path("file"), "x");
  EXPECT_FALSE(CreateDirectoryChain(env.Path("file/sub")));

  std::string target = env.Path("a/data");
  ASSERT_TRUE(WriteFileAtomically(target, "first", target + ".tmp", 0600));
  ASSERT_TRUE(WriteFileAtomically(target, "second", target + ".tmp", 0600));
  EXPECT_EQ(ReadFile(target), "second");
  EXPECT_FALSE(FileExists(target + ".tmp"));
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(WriteFileAtomically(env.Path("missing/x"), "y", env.Path("missing/x.tmp")));

  std::string data;
  EXPECT_TRUE(ReadWholeFile(target, &data));
  EXPECT_FALSE(ReadWholeFile(target, &data, 3));  // larger than allowed
  EXPECT_FALSE(ReadWholeFile(env.Path("nope"), &data));
}

TEST(FsUtil, RemoveTreeNeverFollowsALinkOutOfTheTree) {
  test::ScopedTestEnv env(false);
  std::string outside = env.Path("outside");
  ASSERT_TRUE(CreateDirectoryChain(outside));
  WriteFile(outside + "/precious", "keep");
  std::string tree = env.Path("tree");
  ASSERT_TRUE(CreateDirectoryChain(tree + "/sub/deeper"));
  WriteFile(tree + "/sub/deeper/f", "x");
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/sub/link").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/precious").c_str(), (tree + "/filelink").c_str()), 0);

  EXPECT_TRUE(RemoveTree(tree));
  EXPECT_FALSE(FileExists(tree));
  EXPECT_EQ(ReadFile(outside + "/precious"), "keep");

  // A link given as the tree itself is removed as a link.
  ASSERT_EQ(symlink(outside.c_str(), env.Path("dirlink").c_str()), 0);
  EXPECT_TRUE(RemoveTree(env.Path("dirlink")));
  EXPECT_EQ(ReadFile(outside + "/precious"), "keep");
  EXPECT_TRUE(RemoveTree(env.Path("never-existed")));
}

TEST(FsUtil, ExecutableSearchTakesTheGivenDirectoryOrPath) {
  test::ScopedTestEnv env(false);
  std::string bin = env.Path("bin");
  ASSERT_TRUE(CreateDirectoryChain(bin));
  WriteFile(bin + "/tool", "#!/bin/sh\n");
  EXPECT_EQ(FindExecutable("tool", bin), "");  // not executable yet
  ASSERT_EQ(chmod((bin + "/tool").c_str(), 0755), 0);
  EXPECT_EQ(FindExecutable("tool", bin), bin + "/tool");
  EXPECT_EQ(FindExecutable("tool", env.Dir()), "");  // only that directory
  EXPECT_EQ(FindExecutable(bin + "/tool"), bin + "/tool");

  const char* old_path = std::getenv("PATH");
  std::string saved = old_path ? old_path : "";
  setenv("PATH", ("/nonexistent:" + bin).c_str(), 1);
  EXPECT_EQ(FindExecutable("tool"), bin + "/tool");
  EXPECT_EQ(FindExecutable("no-such-tool"), "");
  setenv("PATH", saved.c_str(), 1);

  EXPECT_FALSE(ProgramPath().empty());
  EXPECT_TRUE(IsDirectory(ProgramDirectory()));
}

TEST(FsUtil, SpaceAndFileSystemKind) {
  test::ScopedTestEnv env(false);
  std::uint64_t free_bytes = 0, total = 0;
  ASSERT_TRUE(GetDiskSpace(env.Dir(), &free_bytes, &total));
  EXPECT_GT(total, 0u);
  EXPECT_LE(free_bytes, total);
  EXPECT_FALSE(GetDiskSpace(env.Path("missing"), &free_bytes, &total));
  // A local directory, and one that does not exist yet (its nearest ancestor is asked).
  EXPECT_FALSE(IsOnNetworkFileSystem(env.Dir()));
  EXPECT_FALSE(IsOnNetworkFileSystem(env.Path("not/yet/made")));
  EXPECT_EQ(JoinPath("/a/", "/b"), "/a/b");
  EXPECT_EQ(JoinPath("/", "b"), "/b");
}

}  // namespace
}  // namespace pondrel
