#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "common/fs_util.h"
#include "common/named_object.h"
#include "common/store_damage.h"
#include "servers/srv_messages.h"
#include "servers/srvcodec.h"
#include "servers/srvmgr.h"
#include "tests/support/test_env.h"
#include "tests/support/test_process.h"

namespace pondrel {

// A refused check reads as (field, kind) in a failure message.
[[maybe_unused]] static void PrintTo(const CheckResult& r, std::ostream* os) {
  *os << "(" << r.field << ", " << static_cast<int>(r.kind) << ")";
}

namespace {

using enum SrvResult;
using enum CheckKind;
using test::ScopedTestEnv;

CheckResult R(std::uint16_t field, CheckKind kind) { return {static_cast<SrvField>(field), kind}; }

// A valid profile whose image directory lies below the test's temporary directory.
CKVSrvInfo Profile(const ScopedTestEnv& env, const std::string& name, const std::string& dir) {
  CKVSrvInfo p;
  EXPECT_EQ(p.SetServerName(name), kCheckAccepted);
  EXPECT_EQ(p.SetImageDirectory(env.Path(dir)), kCheckAccepted);
  EXPECT_EQ(p.SetHostName("127.0.0.1"), kCheckAccepted);
  return p;
}

std::string RandomText(std::mt19937& rng, std::size_t max) {
  std::string s(rng() % (max + 1), ' ');
  for (char& c : s) c = static_cast<char>(rng() % 2 ? 'a' + rng() % 26 : 1 + rng() % 255);
  return s;
}

TEST(SrvCodec, WorkedExampleGivesThe259ByteBlock) {
  std::string block;
  ASSERT_TRUE(CompressSrvRecord("abc", &block));
  std::string expected = "\x07";
  expected += std::string("\x00\x61\x62\x63", 4);
  for (int v = 0; v < 256; ++v)
    if (v != 0 && v != 0x61 && v != 0x62 && v != 0x63) expected.push_back(static_cast<char>(v));
  expected += "\x48\xD1";
  ASSERT_EQ(block.size(), 259u);
  EXPECT_EQ(block, expected);
  std::string back;
  ASSERT_TRUE(DecompressSrvRecord(block, &back));
  EXPECT_EQ(back, "abc");
}

TEST(SrvCodec, RoundTripsRandomRecordsAndRuns) {
  std::mt19937 rng(12345);
  for (int i = 0; i < 300; ++i) {
    std::string in;
    if (i % 3 == 0) {
      // Long runs (past 256) and every byte value.
      for (int k = 0; k < 8; ++k) in.append(rng() % 600 + 1, static_cast<char>(rng() % 256));
    } else {
      in = RandomText(rng, 1500);
      if (in.empty()) in = "x";
    }
    std::string block, back;
    ASSERT_TRUE(CompressSrvRecord(in, &block));
    ASSERT_TRUE(DecompressSrvRecord(block, &back));
    ASSERT_EQ(back, in) << "case " << i;
  }
}

TEST(SrvCodec, FullRecordIs980BytesAndSurvivesTheFile) {
  CKVSrvInfo p;
  p.SetId(Guid{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}});
  ASSERT_EQ(p.SetServerName(std::string(255, 'n')), kCheckAccepted);
  ASSERT_EQ(p.SetImageDirectory("/" + std::string(199, 'd')), kCheckAccepted);
  ASSERT_EQ(p.SetHostName(std::string(63, 'h')), kCheckAccepted);
  ASSERT_EQ(p.SetAdminAccount(std::string(15, 'a')), kCheckAccepted);
  ASSERT_EQ(p.SetAdminPassword(std::string(15, 'p')), kCheckAccepted);
  ASSERT_EQ(p.SetProxyHost(std::string(63, 'x')), kCheckAccepted);
  ASSERT_EQ(p.SetPppConnectionName(std::string(255, 'c')), kCheckAccepted);
  ASSERT_EQ(p.SetPppAccount(std::string(15, 'u')), kCheckAccepted);
  ASSERT_EQ(p.SetPppPassword(std::string(15, 'w')), kCheckAccepted);
  ASSERT_EQ(p.SetSettingsPageUrl(std::string(31, 's')), kCheckAccepted);
  p.SetUseProxy(1);
  p.SetUsePpp(1);
  p.SetDeleteImagesOnServer(1);
  p.SetHttpPortRaw(8081);
  p.SetProxyPortRaw(3128);
  const std::string ser = SerializeSrvRecord(p);
  EXPECT_EQ(ser.size(), kSrvFullRecordSize);

  std::string file;
  ASSERT_EQ(EncodeSrvFileRecord(p, &file), SRV_OK);
  std::size_t off = 0;
  CKVSrvInfo q;
  bool damaged = true;
  ASSERT_EQ(DecodeSrvFileRecord(file, &off, kSrvMaskAll, &q, &damaged), SRV_OK);
  EXPECT_EQ(off, file.size());
  EXPECT_EQ(SerializeSrvRecord(q), ser);
  EXPECT_EQ(DecodeSrvFileRecord(file, &off, kSrvMaskAll, &q, &damaged), SRV_END_OF_FILE);
  EXPECT_FALSE(damaged);
}

TEST(SrvCodec, RefusesCutAndMalformedBlocks) {
  std::string block, out;
  ASSERT_TRUE(CompressSrvRecord("abc", &block));
  std::string cut = block;
  cut[0] = 6;  // the stream now ends one bit before the last code does
  EXPECT_FALSE(DecompressSrvRecord(cut, &out));
  EXPECT_FALSE(DecompressSrvRecord(block.substr(0, 257), &out));  // shorter than 258
  std::string odd = block;
  odd[0] = 5;  // ends right after the fifth code: an odd pair stream
  EXPECT_FALSE(DecompressSrvRecord(odd, &out));
  std::string ones = block;
  ones[257] = '\xFF';  // eight leading one-bits
  EXPECT_FALSE(DecompressSrvRecord(ones, &out));
}

TEST(SrvInfo, SetterRules) {
  CKVSrvInfo p;
  EXPECT_EQ(p.SetServerName(" \tcam 1  "), kCheckAccepted);
  EXPECT_EQ(p.GetServerName(), "cam 1");
  EXPECT_EQ(p.SetServerName(".cam"), R(2, CHK_LEADING_DOT));
  EXPECT_EQ(p.SetServerName("cam:1"), R(2, CHK_BAD_CHARS));
  EXPECT_EQ(p.SetServerName("   "), R(2, CHK_BLANK));
  EXPECT_EQ(p.SetServerName(""), R(2, CHK_EMPTY));
  EXPECT_EQ(p.SetServerName(std::string(256, 'a')), R(2, CHK_TOO_LONG));
  EXPECT_EQ(p.GetServerName(), "cam 1");  // failures leave the field alone

  EXPECT_EQ(p.SetHttpPort("0"), R(5, CHK_RANGE));
  EXPECT_EQ(p.SetHttpPort("65536"), R(5, CHK_RANGE));
  EXPECT_EQ(p.SetHttpPort("-1"), R(5, CHK_RANGE));
  EXPECT_EQ(p.SetHttpPort("8a"), R(5, CHK_FORMAT));
  EXPECT_EQ(p.SetHttpPort("123456"), R(5, CHK_TOO_LONG));
  EXPECT_EQ(p.SetHttpPort(""), R(5, CHK_EMPTY));
  EXPECT_EQ(p.SetHttpPort("65535"), kCheckAccepted);
  EXPECT_EQ(p.GetHttpPort(), 65535);
  EXPECT_EQ(p.SetHostName(std::string(64, 'h')), R(4, CHK_TOO_LONG));
  EXPECT_EQ(p.SetAdminPassword(std::string(16, 'p')), R(7, CHK_TOO_LONG));
  EXPECT_EQ(p.SetSettingsPageUrl(std::string(32, 'u')), R(16, CHK_TOO_LONG));

  // Empty proxy port succeeds and only matters with the proxy on.
  ASSERT_EQ(p.SetImageDirectory("/tmp"), kCheckAccepted);
  ASSERT_EQ(p.SetHostName("h"), kCheckAccepted);
  EXPECT_EQ(p.SetProxyPort(""), kCheckAccepted);
  EXPECT_EQ(p.GetProxyPort(), 0);
  EXPECT_EQ(p.Validate(), kCheckAccepted);
  p.SetUseProxy(1);
  ASSERT_EQ(p.SetProxyHost("proxy"), kCheckAccepted);
  EXPECT_EQ(p.Validate(), R(10, CHK_EMPTY));
}

// A line feed or an escape in any text field would forge a line of a listing or a log, or
// reach a request line or the dial-up configuration: every text field refuses them.
TEST(SrvInfo, ControlCharactersAreRefusedInEveryTextField) {
  CKVSrvInfo p;
  ASSERT_EQ(p.SetServerName("cam"), kCheckAccepted);
  EXPECT_EQ(p.SetServerName("evil\nHostName=spoof"), R(2, CHK_FORMAT));
  EXPECT_EQ(p.SetServerName("cam\x1b[31m"), R(2, CHK_FORMAT));
  EXPECT_EQ(p.SetServerName("a\tb"), R(2, CHK_FORMAT));
  EXPECT_EQ(p.GetServerName(), "cam");
  EXPECT_EQ(p.SetHostName("host\r\nX: 1"), R(4, CHK_FORMAT));
  EXPECT_EQ(p.SetAdminAccount("a\x7f"
                              "b"),
            R(6, CHK_FORMAT));
  EXPECT_EQ(p.SetAdminPassword(std::string("p\0w", 3)), R(7, CHK_FORMAT));
  EXPECT_EQ(p.SetProxyHost("proxy\n"), R(9, CHK_FORMAT));
  EXPECT_EQ(p.SetPppConnectionName("isp\nplugin x.so"), R(12, CHK_FORMAT));
  EXPECT_EQ(p.SetPppAccount("u\n"), R(13, CHK_FORMAT));
  EXPECT_EQ(p.SetPppPassword("\x1b"), R(14, CHK_FORMAT));
  EXPECT_EQ(p.SetSettingsPageUrl("http://x/\n"), R(16, CHK_FORMAT));
  EXPECT_EQ(FormatCheckMessage(R(2, CHK_FORMAT)), "Server Name is invalid format.");
  // UTF-8 text is not control text.
  EXPECT_EQ(p.SetServerName("Kamera \xc3\xa4"
                            "u\xc3\x9f"
                            "en"),
            kCheckAccepted);
}

TEST(SrvInfo, ValidateOrderAndClear) {
  CKVSrvInfo p;
  EXPECT_EQ(p.GetProxyPort(), kNewProxyPort);
  EXPECT_EQ(p.Validate(), R(2, CHK_EMPTY));
  EXPECT_TRUE(p.SetServerName("a").ok());
  EXPECT_EQ(p.Validate(), R(3, CHK_EMPTY));
  EXPECT_TRUE(p.SetImageDirectory("/tmp").ok());
  EXPECT_EQ(p.Validate(), R(4, CHK_EMPTY));
  EXPECT_TRUE(p.SetHostName("h").ok());
  p.SetDeleteImagesOnServer(1);
  EXPECT_EQ(p.Validate(), R(6, CHK_EMPTY));
  EXPECT_TRUE(p.SetAdminAccount("root").ok());
  EXPECT_EQ(p.Validate(), R(7, CHK_EMPTY));
  EXPECT_TRUE(p.SetAdminPassword("pw").ok());
  p.SetUsePpp(1);
  EXPECT_EQ(p.Validate(), R(12, CHK_EMPTY));
  EXPECT_TRUE(p.SetPppConnectionName("isp").ok());
  EXPECT_TRUE(p.SetPppAccount("me").ok());
  EXPECT_EQ(p.Validate(), R(14, CHK_EMPTY));
  p.Clear();
  EXPECT_EQ(p.GetProxyPort(), kClearedProxyPort);
  EXPECT_EQ(p.GetHttpPort(), kDefaultHttpPort);
  EXPECT_TRUE(p.GetId().IsZero());
  EXPECT_EQ(p.GetUsePpp(), 0);
}

TEST(SrvInfo, ImageDirectoryRules) {
  CKVSrvInfo p;
  EXPECT_EQ(p.SetImageDirectory("/"), kCheckAccepted);
  EXPECT_EQ(p.GetImageDirectory(), "/");  // the root keeps its only separator
  EXPECT_EQ(p.SetImageDirectory("/tmp/img/"), kCheckAccepted);
  EXPECT_EQ(p.GetImageDirectory(), "/tmp/img");
  EXPECT_EQ(p.SetImageDirectory("/tmp/not/yet/made"),
            kCheckAccepted);  // judged by its existing ancestor
  EXPECT_EQ(p.SetImageDirectory("/tmp/caf\xC3\xA9 a/b"), kCheckAccepted);
  for (const char* bad : {"img", "//srv/share", "/tmp/ img", "/tmp /img", "/tmp//img", "/tmp/img ",
                          "/tmp/.img", "/tmp/../etc", "/tmp/a\\b", "/tmp/a:b", "/tmp/a*b",
                          "/tmp/a|b", "/tmp/a,b", "/tmp/a\tb", "C:\\img"}) {
    EXPECT_EQ(p.SetImageDirectory(bad), R(3, CHK_FORMAT)) << bad;
  }
  EXPECT_EQ(p.SetImageDirectory("/" + std::string(200, 'a')), R(3, CHK_TOO_LONG));
  EXPECT_EQ(p.SetImageDirectory(""), R(3, CHK_EMPTY));

  EXPECT_TRUE(ImageDirectoriesOverlap("/img", "/img/"));
  EXPECT_TRUE(ImageDirectoriesOverlap("/img/", "/img"));
  EXPECT_TRUE(ImageDirectoriesOverlap("/img", "/IMG/2002"));
  EXPECT_TRUE(ImageDirectoriesOverlap("/IMG/2002", "/img"));
  EXPECT_TRUE(ImageDirectoriesOverlap("/", "/anything"));
  EXPECT_FALSE(ImageDirectoriesOverlap("/img", "/images"));
  EXPECT_FALSE(ImageDirectoriesOverlap("/img2", "/img"));
  EXPECT_FALSE(ImageDirectoriesOverlap("/caf\xC3\xA9", "/caf\xC3\x89"));  // no folding past ASCII
}

TEST(SrvInfo, NetworkFileSystemDirectoryIsRefused) {
  // Find a mounted network file system, if this machine has one.
  std::string mount;
  std::string mounts = test::ReadFile("/proc/mounts");
  std::size_t pos = 0;
  while (pos < mounts.size()) {
    std::size_t end = mounts.find('\n', pos);
    std::string line = mounts.substr(pos, end - pos);
    pos = end == std::string::npos ? mounts.size() : end + 1;
    char dev[256], dir[256], type[64];
    if (std::sscanf(line.c_str(), "%255s %255s %63s", dev, dir, type) == 3 &&
        (std::string(type).rfind("nfs", 0) == 0 || std::string(type) == "cifs" ||
         std::string(type) == "smb3" || std::string(type) == "9p" ||
         std::string(type) == "fuse.sshfs")) {
      mount = dir;
      break;
    }
  }
  if (mount.empty()) GTEST_SKIP() << "no network file system mounted";
  CKVSrvInfo p;
  EXPECT_EQ(p.SetImageDirectory(mount + "/pondrel-not-there/img"), R(3, CHK_FORMAT));
}

TEST(SrvMessages, TextsForCheckResults) {
  EXPECT_EQ(FormatCheckMessage(R(2, CHK_EMPTY)), "Server Name is not specified.");
  EXPECT_EQ(FormatCheckMessage(R(2, CHK_BLANK)), "Server Name is not specified.");
  EXPECT_EQ(FormatCheckMessage(R(4, CHK_TOO_LONG)),
            "Please enter Host Name with 63 charactors or less.");
  EXPECT_EQ(FormatCheckMessage(R(10, CHK_RANGE)),
            "Specify HTTP Proxy Port in the range of 1 to 65535.");
  EXPECT_EQ(FormatCheckMessage(R(3, CHK_FORMAT)), "Image Directory is invalid format.");
  EXPECT_EQ(FormatCheckMessage(R(0, CHK_MEMORY)), "Not enough memory");
  EXPECT_EQ(FormatCheckMessage(R(2, CHK_BAD_CHARS)),
            "The following characters are invalid for a Server Name. \n \" \\ / | : ; , * ? < >");
  EXPECT_EQ(FormatStoreMessage(SRV_ERR_DIR_IN_USE),
            "The specified image directory is already in use.");
}

class SrvStore : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(mgr_.Init()); }
  std::string Prp1() const { return env_.Root() + "/prp1"; }
  ScopedTestEnv env_;
  CKVSrvMgr mgr_;
};

TEST_F(SrvStore, InitNeedsRoot) {
  ScopedTestEnv no_root(false);
  CKVSrvMgr m;
  EXPECT_FALSE(m.Init());
  EXPECT_FALSE(m.InitWithDirectory("/" + std::string(256, 'r')));
}

TEST_F(SrvStore, EmptyStoreThenFirstAddCreatesPrp1) {
  bool more = true;
  EXPECT_EQ(mgr_.LoadAll(&more, kSrvMaskAll), SRV_OK);
  EXPECT_FALSE(more);
  CKVSrvInfo out;
  EXPECT_EQ(mgr_.FindById(Guid{{1}}, &out), SRV_ERR_NOT_FOUND);

  CKVSrvInfo p = Profile(env_, "cam", "img");
  ASSERT_EQ(mgr_.Add(&p), SRV_OK);
  EXPECT_FALSE(p.GetId().IsZero());
  struct stat st;
  ASSERT_EQ(::stat(Prp1().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  EXPECT_FALSE(FileExists(env_.Root() + "/prp2"));

  ASSERT_EQ(mgr_.FindById(p.GetId(), &out), SRV_OK);
  EXPECT_EQ(SerializeSrvRecord(out), SerializeSrvRecord(p));
  // The mask leaves unselected fields cleared.
  ASSERT_EQ(mgr_.FindById(p.GetId(), &out, kSrvMaskName), SRV_OK);
  EXPECT_EQ(out.GetServerName(), "cam");
  EXPECT_EQ(out.GetImageDirectory(), "");
  EXPECT_EQ(out.GetProxyPort(), kClearedProxyPort);
}

TEST_F(SrvStore, NameAndDirectoryConflicts) {
  CKVSrvInfo a = Profile(env_, "cam", "img");
  ASSERT_EQ(mgr_.Add(&a), SRV_OK);
  CKVSrvInfo b = Profile(env_, "CAM", "other");
  EXPECT_EQ(mgr_.Add(&b), SRV_OK);  // names compare case-sensitively
  CKVSrvInfo c = Profile(env_, "cam", "third");
  EXPECT_EQ(mgr_.Add(&c), SRV_ERR_NAME_EXISTS);
  CKVSrvInfo d = Profile(env_, "new", "IMG");
  EXPECT_EQ(mgr_.Add(&d), SRV_ERR_DIR_IN_USE);  // directories case-insensitively
  CKVSrvInfo e = Profile(env_, "new", "img/sub");
  EXPECT_EQ(mgr_.Add(&e), SRV_ERR_DIR_IN_USE);
  CKVSrvInfo f = Profile(env_, "new", "images");
  EXPECT_EQ(mgr_.Add(&f), SRV_OK);
  // The first conflicting profile in file order decides: a comes before b, and a's directory
  // conflicts before b's name could.
  CKVSrvInfo g = Profile(env_, "CAM", "img");
  EXPECT_EQ(mgr_.Add(&g), SRV_ERR_DIR_IN_USE);
  CKVSrvInfo invalid;
  EXPECT_EQ(mgr_.Add(&invalid), SRV_ERR_INVALID);

  bool more = false;
  ASSERT_EQ(mgr_.LoadAll(&more), SRV_OK);
  std::vector<std::string> names;
  CKVSrvInfo rec;
  while (more && mgr_.GetNext(&rec, &more) == SRV_OK) names.push_back(rec.GetServerName());
  EXPECT_EQ(names, (std::vector<std::string>{"cam", "CAM", "new"}));
  EXPECT_EQ(mgr_.FindInLoaded(b.GetId(), &rec), SRV_OK);
  EXPECT_EQ(rec.GetServerName(), "CAM");
  mgr_.FreeAll();
  EXPECT_EQ(mgr_.FindInLoaded(b.GetId(), &rec), SRV_ERR_NOT_FOUND);
}

TEST_F(SrvStore, ModifyAndDelete) {
  CKVSrvInfo a = Profile(env_, "a", "a"), b = Profile(env_, "b", "b");
  ASSERT_EQ(mgr_.Add(&a), SRV_OK);
  ASSERT_EQ(mgr_.Add(&b), SRV_OK);

  CKVSrvInfo no_id = Profile(env_, "x", "x");
  EXPECT_EQ(mgr_.Modify(no_id), SRV_ERR_NO_ID);
  CKVSrvInfo unknown = Profile(env_, "x", "x");
  unknown.SetId(Guid{{9, 9, 9}});
  EXPECT_EQ(mgr_.Modify(unknown), SRV_ERR_NOT_FOUND);

  EXPECT_TRUE(
      a.SetImageDirectory(env_.Path("a/")).ok());  // the target is not tested against itself
  ASSERT_EQ(a.SetHostName("camera.local"), kCheckAccepted);
  EXPECT_EQ(mgr_.Modify(a), SRV_OK);
  EXPECT_TRUE(a.SetServerName("b").ok());
  EXPECT_EQ(mgr_.Modify(a), SRV_ERR_NAME_EXISTS);
  EXPECT_TRUE(a.SetServerName("a").ok());
  EXPECT_TRUE(a.SetImageDirectory(env_.Path("b/inner")).ok());
  EXPECT_EQ(mgr_.Modify(a), SRV_ERR_DIR_IN_USE);

  CKVSrvInfo out;
  ASSERT_EQ(mgr_.FindById(a.GetId(), &out), SRV_OK);
  EXPECT_EQ(out.GetHostName(), "camera.local");
  EXPECT_EQ(mgr_.Delete(a.GetId()), SRV_OK);
  EXPECT_EQ(mgr_.Delete(a.GetId()), SRV_ERR_NOT_FOUND);
  EXPECT_EQ(mgr_.FindById(a.GetId(), &out), SRV_ERR_NOT_FOUND);
  EXPECT_EQ(mgr_.FindById(b.GetId(), &out), SRV_OK);
}

TEST_F(SrvStore, DamagedTailIsListedUpToTheDamageAndKeptAsideOnRewrite) {
  CKVSrvInfo a = Profile(env_, "a", "a"), b = Profile(env_, "b", "b");
  ASSERT_EQ(mgr_.Add(&a), SRV_OK);
  ASSERT_EQ(mgr_.Add(&b), SRV_OK);
  // A record claiming 5000 bytes, then a good record that the reader can no longer reach.
  CKVSrvInfo lost = Profile(env_, "lost", "lost");
  lost.SetId(Guid{{7, 7, 7}});
  std::string lost_rec;
  ASSERT_EQ(EncodeSrvFileRecord(lost, &lost_rec), SRV_OK);
  std::string damaged =
      test::ReadFile(Prp1()) + std::string("\x88\x13", 2) + std::string(300, 'z') + lost_rec;
  test::WriteFile(Prp1(), damaged);

  bool more = false;
  EXPECT_EQ(mgr_.LoadAll(&more), SRV_OK);
  EXPECT_EQ(mgr_.Loaded().size(), 2u);
  EXPECT_TRUE(mgr_.LoadedFileDamaged());

  CKVSrvInfo c = Profile(env_, "c", "c");
  ASSERT_EQ(mgr_.Add(&c), SRV_OK);
  ASSERT_TRUE(mgr_.DamageSaved());
  EXPECT_EQ(mgr_.DamagedCopyPath(), Prp1() + ".damaged");
  EXPECT_EQ(test::ReadFile(Prp1() + ".damaged"), damaged);
  ASSERT_EQ(mgr_.LoadAll(&more), SRV_OK);
  EXPECT_EQ(mgr_.Loaded().size(), 3u);
  EXPECT_FALSE(mgr_.LoadedFileDamaged());

  // A clean file is rewritten without a copy; a second damage gets a copy of its own.
  ASSERT_EQ(mgr_.Delete(c.GetId()), SRV_OK);
  EXPECT_FALSE(mgr_.DamageSaved());
  test::WriteFile(Prp1(), test::ReadFile(Prp1()) + "\x01");
  ASSERT_EQ(mgr_.Delete(b.GetId()), SRV_OK);
  EXPECT_EQ(mgr_.DamagedCopyPath(), Prp1() + ".damaged.1");
}

// Every reader that meets the damage tells it (what was lost, where the copy is); a reader
// that finds its profile before the damage has nothing to tell.
TEST_F(SrvStore, ReadersTellTheDamageTheyMeet) {
  std::vector<StoreDamage> seen;
  SetStoreDamageObserver([&seen](const StoreDamage& d) { seen.push_back(d); });
  CKVSrvInfo a = Profile(env_, "a", "a");
  ASSERT_EQ(mgr_.Add(&a), SRV_OK);
  const std::string whole = test::ReadFile(Prp1());
  const std::string damaged = whole + std::string(100, '\xee');
  test::WriteFile(Prp1(), damaged);

  bool more = false;
  ASSERT_EQ(mgr_.LoadAll(&more), SRV_OK);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].file, Prp1());
  EXPECT_EQ(seen[0].skipped,
            "the last 100 bytes (from byte " + std::to_string(whole.size()) +
                ", after 1 readable server profile) could not be read; the server profiles "
                "stored there are missing");
  EXPECT_EQ(seen[0].copy, Prp1() + ".damaged");
  EXPECT_EQ(test::ReadFile(seen[0].copy), damaged);

  CKVSrvInfo out;
  EXPECT_EQ(mgr_.FindById(a.GetId(), &out), SRV_OK);
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_EQ(mgr_.FindById(Guid{{4, 4}}, &out), SRV_ERR_NOT_FOUND);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].copy, Prp1() + ".damaged");  // the same damage: no second copy
  EXPECT_FALSE(FileExists(Prp1() + ".damaged.1"));
  SetStoreDamageObserver(nullptr);
}

TEST_F(SrvStore, UnreadableStoredValuesAreDropped) {
  CKVSrvInfo p = Profile(env_, "cam", "img");
  p.SetId(Guid{{1}});
  std::string ser = SerializeSrvRecord(p);
  ser[18] = '.';  // the stored name now begins with a full stop
  std::string block, file;
  ASSERT_TRUE(CompressSrvRecord(ser, &block));
  file.push_back(static_cast<char>(block.size() & 0xFF));
  file.push_back(static_cast<char>(block.size() >> 8));
  test::WriteFile(Prp1(), file + block);
  CKVSrvInfo out;
  ASSERT_EQ(mgr_.FindById(Guid{{1}}, &out), SRV_OK);
  EXPECT_EQ(out.GetServerName(), "");
  EXPECT_EQ(out.GetImageDirectory(), p.GetImageDirectory());
}

TEST_F(SrvStore, Prp1IsNeverMissingWhileRewritten) {
  CKVSrvInfo a = Profile(env_, "a", "a");
  ASSERT_EQ(mgr_.Add(&a), SRV_OK);
  std::atomic<bool> stop{false};
  std::atomic<int> missing{0}, short_reads{0};
  std::thread reader([&] {
    while (!stop) {
      std::string data;
      if (!ReadWholeFile(Prp1(), &data)) {
        ++missing;
      } else {
        std::size_t off = 0;
        CKVSrvInfo rec;
        if (DecodeSrvFileRecord(data, &off, kSrvMaskName, &rec, nullptr) != SRV_OK) ++short_reads;
      }
    }
  });
  for (int i = 0; i < 40; ++i) {
    EXPECT_TRUE(a.SetHostName("host" + std::to_string(i)).ok());
    ASSERT_EQ(mgr_.Modify(a), SRV_OK);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(missing.load(), 0);
  EXPECT_EQ(short_reads.load(), 0);
}

TEST_F(SrvStore, LockHeldByAnotherProcessGives10) {
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  test::TestProcess holder;
  ASSERT_TRUE(holder.StartCopy([&] {
    ::close(ready[0]);
    ::close(release[1]);
    NamedObject held = NamedObject::Create(kSrvLockName);
    char c = held.held() ? '1' : '0';
    (void)!::write(ready[1], &c, 1);
    (void)!::read(release[0], &c, 1);  // until the parent closes its end
    return 0;
  })) << holder.Error();
  ::close(ready[1]);
  ::close(release[0]);
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, '1');

  auto start = std::chrono::steady_clock::now();
  bool more = false;
  EXPECT_EQ(mgr_.LoadAll(&more), SRV_ERR_LOCK);
  auto waited = std::chrono::steady_clock::now() - start;
  // All 50 attempts were made (a lower bound only; slowness cannot break it).
  EXPECT_GE(waited, std::chrono::milliseconds(4500));
  CKVSrvInfo p = Profile(env_, "a", "a");
  mgr_.SetLockRetry(2, 10);
  EXPECT_EQ(mgr_.Add(&p), SRV_ERR_LOCK);
  EXPECT_FALSE(FileExists(Prp1()));

  ::close(release[1]);
  ::close(ready[0]);
  ASSERT_GE(holder.Wait(), 0);      // ended and reaped
  EXPECT_EQ(mgr_.Add(&p), SRV_OK);  // the holder's end released it
}

}  // namespace
}  // namespace pondrel
