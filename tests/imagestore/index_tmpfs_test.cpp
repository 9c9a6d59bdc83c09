// Index appends on a real full file system: a tmpfs of 12 KB mounted in a private mount
// namespace (unshare --mount) by a child that runs the IndexTmpfsScenario cases of this same
// binary. Needs root (as in CI); skipped with a message otherwise.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/fs_util.h"
#include "imagestore/image_index.h"
#include "imagestore/picture_header.h"
#include "tests/support/test_env.h"

namespace pondrel {
namespace {

constexpr char kTmpfsVar[] = "PONDREL_INDEX_TMPFS_DIR";

std::string Key(int i) {
  char key[32];
  std::snprintf(key, sizeof key, "20240102/%08d", 10000000 + i);
  return key;
}

long SizeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// The disk fills in the middle of a record: the record is not there at all, the file keeps
// whole records only, and once there is room again later records are found.
TEST(IndexTmpfsScenario, ShortAppendLeavesNoTornRecord) {
  const char* mount = std::getenv(kTmpfsVar);
  if (!mount) GTEST_SKIP() << "runs only inside IndexTmpfs.FullDisk";
  test::ScopedTestEnv env(false);
  const std::string picture = env.Path("pic.jpg");
  PictureHeader h;
  h.camera = 1;
  h.trigger = 33;
  test::WriteFile(picture, BuildPicture(h, "body"));
  const std::string info = std::string(mount) + "/info";
  ASSERT_TRUE(CreateDirectoryChain(info + "/2024"));
  // Leave one page of the three for the index, so that the record crossing the first page
  // boundary (bytes 4080 to 4119) is cut by the full disk.
  const std::string filler = std::string(mount) + "/filler";
  {
    FILE* f = std::fopen(filler.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const std::string block(4096, 'x');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size()) {
      if (std::fflush(f) != 0) break;
    }
    std::fclose(f);
  }
  ASSERT_EQ(0, ::truncate(filler.c_str(), 8192));

  int added = 0;
  while (AddImage(info, Key(added), picture) == ImageResult::kOk) ++added;
  ASSERT_GT(added, 0);
  const std::string index = DayIndexPath(info, 2024, 102);
  EXPECT_EQ(0, SizeOf(index) % static_cast<long>(kIndexRecordSize)) << SizeOf(index);
  EXPECT_EQ(added * static_cast<long>(kIndexRecordSize), SizeOf(index));
  EXPECT_EQ(0, ContainsImage(info, Key(added)));

  // Room again: the next records line up behind the last whole one.
  ASSERT_EQ(0, ::unlink(filler.c_str()));
  ASSERT_EQ(ImageResult::kOk, AddImage(info, Key(added + 1), picture));
  ASSERT_EQ(ImageResult::kOk, AddImage(info, Key(added + 2), picture));
  EXPECT_EQ(1, ContainsImage(info, Key(added + 1)));
  EXPECT_EQ(1, ContainsImage(info, Key(added + 2)));
  EXPECT_EQ(1, ContainsImage(info, Key(0)));
  DayIndexCache cache(info);
  EXPECT_EQ(1, cache.Contains(Key(added + 2)));
}

TEST(IndexTmpfs, FullDisk) {
  test::ScopedTestEnv env(false);
  const test::TmpfsChildRun run =
      test::RunInPrivateTmpfs(env, "12k", kTmpfsVar, "IndexTmpfsScenario.*");
  if (!run.skip.empty()) GTEST_SKIP() << run.skip;
  EXPECT_EQ(0, run.exit_code) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("[  PASSED  ] 1 test")) << run.output;
}

}  // namespace
}  // namespace pondrel
