#include "common/named_object.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "common/fs_util.h"
#include "common/mailslot.h"
#include "common/runtime_dir.h"
#include "tests/support/test_env.h"
#include "tests/support/test_process.h"

namespace pondrel {
namespace {

TEST(NamedObject, CreatorHoldsUntilReleaseAndOthersSeeIt) {
  test::ScopedTestEnv env(false);
  EXPECT_FALSE(NamedObject::Exists("Flag"));
  NamedObject first = NamedObject::Create("Flag");
  ASSERT_TRUE(first.held());
  EXPECT_TRUE(NamedObject::Exists("Flag"));
  EXPECT_FALSE(NamedObject::Create("Flag").held());
  first.Release();
  EXPECT_FALSE(NamedObject::Exists("Flag"));
  EXPECT_TRUE(NamedObject::Create("Flag").held());
}

TEST(NamedObject, RuntimeDirectoriesKeepTestsApart) {
  test::ScopedTestEnv env(false);
  NamedObject a = NamedObject::Create("Same");
  ASSERT_TRUE(a.held());
  EXPECT_TRUE(FileExists(env.RuntimeDir() + "/Same.lock"));
  const std::string other = env.Path("other-run");
  setenv("PONDREL_RUNTIME_DIR", other.c_str(), 1);
  EXPECT_FALSE(NamedObject::Exists("Same"));
  EXPECT_TRUE(NamedObject::Create("Same").held());  // a missing directory is created
  struct stat st;
  ASSERT_EQ(::stat(other.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 02770u);
  setenv("PONDREL_RUNTIME_DIR", env.RuntimeDir().c_str(), 1);
  // Names never leave the directory.
  EXPECT_FALSE(NamedObject::Create("../escape").held());
  EXPECT_FALSE(NamedObject::Create("").held());
}

TEST(NamedObject, StaleFilesOfADeadHolderBlockNobody) {
  test::ScopedTestEnv env(false);
  // A holder killed without cleaning up leaves its lock file and its event's socket file.
  const int status = test::RunInChild([] {
    NamedObject ev = NamedObject::CreateEvent("Stale");
    ::kill(::getpid(), ev.held() ? SIGKILL : SIGABRT);
    return 1;
  });
  ASSERT_EQ(status, 128 + SIGKILL);
  EXPECT_TRUE(FileExists(env.RuntimeDir() + "/Stale.lock"));
  EXPECT_TRUE(FileExists(env.RuntimeDir() + "/Stale.sock"));
  EXPECT_FALSE(NamedObject::Exists("Stale"));
  EXPECT_FALSE(NamedObject::Signal("Stale"));  // nobody listens on a dead socket
  NamedObject ev = NamedObject::CreateEvent("Stale");
  ASSERT_TRUE(ev.held());
  EXPECT_TRUE(NamedObject::Signal("Stale"));
  EXPECT_TRUE(ev.ConsumeSignals());
  // A lock file someone else made unwritable is replaced when nobody holds it.
  ev.Release();
  ASSERT_EQ(::chmod((env.RuntimeDir() + "/Stale.lock").c_str(), 0), 0);
  if (::geteuid() != 0) {
    EXPECT_TRUE(NamedObject::Create("Stale").held());
  }
}

TEST(NamedObject, ARuntimeDirectoryOpenToOthersOrNotOursIsRefusedByName) {
  test::ScopedTestEnv env(false);
  ASSERT_EQ(::chmod(env.RuntimeDir().c_str(), 0777), 0);
  std::string error;
  EXPECT_FALSE(CheckRuntimeDir(&error));
  EXPECT_NE(error.find(env.RuntimeDir()), std::string::npos) << error;
  EXPECT_NE(error.find("0777"), std::string::npos) << error;
  EXPECT_FALSE(NamedObject::Create("Flag").held());
  CKVMailSlot slot;
  char err[256] = {};
  EXPECT_EQ(slot.Create(kServiceMailslot, err, sizeof err), 0);
  EXPECT_NE(std::string(err).find(env.RuntimeDir()), std::string::npos) << err;
  ASSERT_EQ(::chmod(env.RuntimeDir().c_str(), 02770), 0);
  EXPECT_TRUE(CheckRuntimeDir(&error));

  // A link is not the directory, even to a good one.
  const std::string link = env.Path("run-link");
  ASSERT_EQ(::symlink(env.RuntimeDir().c_str(), link.c_str()), 0);
  setenv("PONDREL_RUNTIME_DIR", link.c_str(), 1);
  EXPECT_FALSE(CheckRuntimeDir(&error));
  EXPECT_NE(error.find("not a directory"), std::string::npos) << error;
  setenv("PONDREL_RUNTIME_DIR", env.RuntimeDir().c_str(), 1);

  if (::geteuid() == 0) {
    // Root finds a directory owned by another user: refused.
    ASSERT_EQ(::chown(env.RuntimeDir().c_str(), 65534, 65534), 0);
    EXPECT_FALSE(CheckRuntimeDir(&error));
    EXPECT_NE(error.find("65534"), std::string::npos) << error;
    ASSERT_EQ(::chown(env.RuntimeDir().c_str(), 0, 0), 0);
  }
}

TEST(NamedObject, SignalsReachTheHolderOnly) {
  test::ScopedTestEnv env(false);
  EXPECT_FALSE(NamedObject::Signal("Stop"));
  NamedObject ev = NamedObject::CreateEvent("Stop");
  EXPECT_FALSE(ev.ConsumeSignals());
  EXPECT_TRUE(NamedObject::Signal("Stop"));
  EXPECT_TRUE(NamedObject::Signal("Stop"));
  EXPECT_TRUE(ev.ConsumeSignals());
  EXPECT_FALSE(ev.ConsumeSignals());
}

TEST(NamedLock, HeldByAnotherProcessUntilItExitsEvenWhenKilled) {
  test::ScopedTestEnv env(false);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  test::TestProcess holder;
  ASSERT_TRUE(holder.StartCopy([&] {
    NamedLock lock("VeltaZoricFileAccMutexName");
    char c = lock.TryLock() ? '1' : '0';
    if (write(ready[1], &c, 1) != 1) return 1;
    pause();  // held until killed
    return 0;
  })) << holder.Error();
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, '1');
  NamedLock lock("VeltaZoricFileAccMutexName");
  EXPECT_FALSE(lock.TryLock());
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(lock.Lock(20, 5));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
  EXPECT_FALSE(lock.LockFor(10, 50));
  std::atomic<bool> abort{true};
  EXPECT_FALSE(lock.Lock(100, 0, &abort));  // an abort ends an unlimited wait

  holder.Kill();  // the holder's death releases the lock
  EXPECT_TRUE(lock.Lock(10, 100));
  {
    NamedLockGuard guard(lock);
    EXPECT_TRUE(NamedObject::Exists("VeltaZoricFileAccMutexName"));
  }
  EXPECT_FALSE(lock.held());
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
}  // namespace pondrel
