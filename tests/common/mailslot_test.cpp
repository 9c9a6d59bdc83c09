#include "common/mailslot.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "common/fs_util.h"
#include "common/runtime_dir.h"
#include "common/unix_dgram.h"
#include "tests/support/test_env.h"
#include "tests/support/test_process.h"

namespace pondrel {
namespace {

TEST(MailSlot, OneOwnerReadsMessagesInOrderWithoutWaiting) {
  test::ScopedTestEnv env(false);
  CKVMailSlot owner;
  ASSERT_EQ(owner.Create(kServiceMailslot), 1);
  CKVMailSlot second;
  char err[128] = {};
  EXPECT_EQ(second.Create(kServiceMailslot, err, sizeof err), 0);
  EXPECT_NE(err[0], '\0');

  char buf[64];
  EXPECT_EQ(owner.Read(buf, sizeof buf), 0);
  EXPECT_EQ(owner.Read(nullptr, 10), -1);
  CKVMailSlot closed;
  EXPECT_EQ(closed.Read(buf, sizeof buf), -2);
  EXPECT_EQ(closed.Receive(), 0);

  // More messages than the kernel queues per socket: the owner's own queue keeps them all.
  for (int i = 0; i < 40; ++i) {
    CKVMailSlot sender(kServiceMailslot);
    std::string msg = "ZORIC:02:task" + std::to_string(i);
    ASSERT_EQ(sender.Send(msg), 1) << i;
  }
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(owner.Receive(), 1);
    std::string expect = "ZORIC:02:task" + std::to_string(i);
    EXPECT_EQ(owner.LastLength(), static_cast<int>(expect.size() + 1));
    EXPECT_STREQ(owner.Message(), expect.c_str());
  }
  EXPECT_EQ(owner.Receive(), 1);
  EXPECT_EQ(owner.LastLength(), 0);
}

TEST(MailSlot, NotifyDescriptorIsReadableExactlyWhileMessagesWait) {
  test::ScopedTestEnv env(false);
  CKVMailSlot owner;
  EXPECT_EQ(owner.NotifyFd(), -1);
  ASSERT_EQ(owner.Create(kTaskViewMailslot), 1);
  EXPECT_TRUE(FileExists(env.RuntimeDir() + "/mailslot/velta.zoric.ver1.0.server.tasdek"));
  auto readable = [&](int timeout_ms) {
    pollfd p{owner.NotifyFd(), POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) == 1;
  };
  EXPECT_FALSE(readable(0));
  CKVMailSlot sender(kTaskViewMailslot);
  ASSERT_EQ(sender.Send("ZORIC:01:a"), 1);
  ASSERT_EQ(sender.Send("ZORIC:01:b"), 1);
  EXPECT_TRUE(readable(5000));  // the reader thread queued them without being asked
  ASSERT_TRUE(readable(0));
  char buf[64];
  while (owner.Pending() < 2) SleepMs(1);
  EXPECT_GT(owner.Read(buf, sizeof buf), 0);
  EXPECT_TRUE(readable(0));
  EXPECT_GT(owner.Read(buf, sizeof buf), 0);
  EXPECT_FALSE(readable(0));
}

TEST(MailSlot, AKilledOwnersSocketAndLockFileDoNotStopTheNextOwner) {
  test::ScopedTestEnv env(false);
  const int status = test::RunInChild([] {
    CKVMailSlot owner;
    ::kill(::getpid(), owner.Create(kServiceMailslot) ? SIGKILL : SIGABRT);
    return 1;
  });
  ASSERT_EQ(status, 128 + SIGKILL);
  const std::string path = env.RuntimeDir() + "/mailslot/velta.zoric.ver1.0.server.zoricsm";
  EXPECT_TRUE(FileExists(path));
  EXPECT_TRUE(FileExists(path + ".lock"));
  CKVMailSlot sender(kServiceMailslot);
  EXPECT_EQ(sender.Send("ZORIC:01:"), 0);  // the dead socket takes nothing, at once
  CKVMailSlot owner;
  ASSERT_EQ(owner.Create(kServiceMailslot), 1);
  EXPECT_EQ(sender.Send("ZORIC:01:"), 1);
  owner.Close();
  EXPECT_FALSE(FileExists(path));  // an orderly owner leaves no socket behind
}

TEST(MailSlot, ProbesCutsAndOversizedMessages) {
  test::ScopedTestEnv env(false);
  CKVMailSlot owner;
  ASSERT_EQ(owner.Create(kTaskViewMailslot), 1);
  CKVMailSlot sender(kTaskViewMailslot);
  EXPECT_EQ(sender.Send("", 0), 1);  // the probe: a single zero byte
  ASSERT_EQ(owner.Receive(), 1);
  EXPECT_EQ(owner.LastLength(), 1);

  EXPECT_EQ(sender.Send("ZORIC:01:abcdef", 12), 1);  // cut at the given length
  ASSERT_EQ(owner.Receive(), 1);
  EXPECT_STREQ(owner.Message(), "ZORIC:01:abc");

  std::string huge(5000, 'x');
  EXPECT_EQ(sender.Send(huge), 1);  // a sender never sends more than a message holds
  ASSERT_EQ(owner.Receive(), 1);
  EXPECT_EQ(owner.LastLength(), 1023);
  EXPECT_EQ(std::strlen(owner.Message()), 1023u);

  char small[4];
  sender.Send("ZORIC:02:x");
  EXPECT_EQ(owner.Read(small, sizeof small), 4);
  EXPECT_EQ(std::memcmp(small, "ZORI", 4), 0);

  owner.Close();
  EXPECT_EQ(sender.Send("late"), 0);  // no owner: fails at once
}

TEST(MailSlot, JunkOverflowsItsOwnSmallQueueAndNeverCostsARequestOrAReport) {
  test::ScopedTestEnv env(false);
  CKVMailSlot owner;
  ASSERT_EQ(owner.Create(kServiceMailslot), 1);
  CKVMailSlot sender(kServiceMailslot);
  // Far more junk than any queue holds, while nobody reads: every send still goes through.
  for (int i = 0; i < 3000; ++i)
    ASSERT_EQ(sender.Send(i % 2 ? std::string_view("ZORIC:0") : std::string_view("")), 1) << i;
  ASSERT_EQ(sender.Send("ZORIC:02:run"), 1);
  ASSERT_EQ(sender.Send("ZORIC:99:unknown"), 1);
  ASSERT_EQ(sender.Send("ZORIC:04:run:42"), 1);
  ASSERT_EQ(sender.Send("ZORIC:03:run"), 1);
  while (owner.Overflowed() + owner.Pending() < 3004) SleepMs(1);
  EXPECT_EQ(owner.Pending(), kMailslotOtherQueueMax + 3);
  // In arrival order: the junk that fitted, then the request, the report and the abort.
  std::vector<std::string> got;
  while (owner.Receive() && owner.LastLength() > 0) got.emplace_back(owner.Message());
  ASSERT_EQ(got.size(), kMailslotOtherQueueMax + 3);
  for (std::size_t i = 0; i < kMailslotOtherQueueMax; ++i)
    EXPECT_TRUE(got[i].empty() || got[i] == "ZORIC:0") << got[i];
  EXPECT_EQ(got[kMailslotOtherQueueMax], "ZORIC:02:run");
  EXPECT_EQ(got[kMailslotOtherQueueMax + 1], "ZORIC:04:run:42");
  EXPECT_EQ(got[kMailslotOtherQueueMax + 2], "ZORIC:03:run");
  EXPECT_EQ(owner.Overflowed(), 3000 - kMailslotOtherQueueMax + 1);
  EXPECT_EQ(ClassifyMailslotMessage(std::string("ZORIC:01:\0", 10)), MailslotKind::kTagged);
  EXPECT_EQ(ClassifyMailslotMessage("ZORIC:04:a:1"), MailslotKind::kRegistration);
  EXPECT_EQ(ClassifyMailslotMessage(std::string("\0ZORIC:02:x", 11)), MailslotKind::kOther);
}

TEST(MailSlot, DatagramsFromAnUntrustedSenderAreDropped) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to send as another user";
  test::ScopedTestEnv env(false);
  CKVMailSlot owner;
  ASSERT_EQ(owner.Create(kServiceMailslot), 1);
  // Should the directory's protection ever fail, the owner still checks who sent a message.
  const std::string path = MailslotSocketPath(kServiceMailslot);
  ASSERT_EQ(::chmod(env.Dir().c_str(), 0711), 0);
  ASSERT_EQ(::chmod(env.RuntimeDir().c_str(), 0711), 0);
  ASSERT_EQ(::chmod((env.RuntimeDir() + "/mailslot").c_str(), 0711), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  auto send_as = [&](uid_t uid, gid_t gid) {
    return test::RunInChild([&] {
      if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) return 2;
      return SendDgramPath(path, "ZORIC:01:\0", 10, 0) ? 0 : 1;
    });
  };
  EXPECT_EQ(send_as(65534, 65534), 0);  // nobody: delivered by the kernel...
  EXPECT_EQ(send_as(0, 0), 0);          // root
  for (int i = 0; i < 500 && owner.Refused() + owner.Pending() < 2; ++i) SleepMs(2);
  EXPECT_EQ(owner.Refused(), 1u);  // ...and dropped by the owner
  ASSERT_EQ(owner.Receive(), 1);
  EXPECT_STREQ(owner.Message(), "ZORIC:01:");
  EXPECT_EQ(owner.Receive(), 1);
  EXPECT_EQ(owner.LastLength(), 0);
  ::chmod(env.RuntimeDir().c_str(), 0700);
}

}  // namespace
}  // namespace pondrel
