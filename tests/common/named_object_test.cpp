#include "common/named_object.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "tests/support/test_env.h"

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

TEST(NamedObject, NamespacesKeepTestsApart) {
  test::ScopedTestEnv env(false);
  NamedObject a = NamedObject::Create("Same");
  ASSERT_TRUE(a.held());
  setenv("PONDREL_IPC_NAMESPACE", (env.Namespace() + "-other").c_str(), 1);
  EXPECT_FALSE(NamedObject::Exists("Same"));
  EXPECT_TRUE(NamedObject::Create("Same").held());
  setenv("PONDREL_IPC_NAMESPACE", env.Namespace().c_str(), 1);
}

TEST(NamedObject, SignalsReachTheHolderOnly) {
  test::ScopedTestEnv env(false);
  EXPECT_FALSE(NamedObject::Signal("Stop"));
  NamedObject ev = NamedObject::Create("Stop");
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
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedLock lock("VeltaZoricFileAccMutexName");
    char c = lock.TryLock() ? '1' : '0';
    if (write(ready[1], &c, 1) != 1) _exit(1);
    pause();  // held until killed
    _exit(0);
  }
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

  kill(child, SIGKILL);  // the holder's death releases the lock
  waitpid(child, nullptr, 0);
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
