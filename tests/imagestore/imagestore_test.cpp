#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "common/fs_util.h"
#include "imagestore/catalog.h"
#include "imagestore/image_index.h"
#include "imagestore/picture_header.h"
#include "servers/srvmgr.h"
#include "tests/support/test_env.h"

namespace pondrel {
namespace {

using test::ReadFile;
using test::ScopedTestEnv;
using test::WriteFile;

// Sets TZ for one test and restores it.
class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTz() {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

class ImageStore : public ::testing::Test {
 protected:
  std::string Image() const { return env_.Path("srv"); }
  std::string Info() const { return env_.Path("srv/info"); }
  std::string Picture(const PictureHeader& h, const std::string& name = "pic.jpg") {
    std::string path = env_.Path(name);
    WriteFile(path, BuildPicture(h, "body"));
    return path;
  }
  std::string Picture(std::uint8_t camera = 1, std::uint8_t trigger = 33) {
    PictureHeader h;
    h.camera = camera;
    h.trigger = trigger;
    h.extension = 1;
    return Picture(h);
  }
  long FileSize(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
  }
  ScopedTestEnv env_;
};

TEST_F(ImageStore, HeaderFieldsAreCopiedBigEndianIntoTheRecord) {
  PictureHeader h;
  h.trigger = 2;
  h.camera = 3;
  h.pan = 0x1234;
  h.tilt = 18000;
  h.zoom = 250;
  h.brightness = 1;
  h.record_time = 0x3B9ACA00;
  h.zone_offset = -300;
  h.extension = 7;
  h.width = 640;
  h.height = 480;
  const std::string pic = BuildPicture(h);
  EXPECT_EQ(pic.substr(0, 6), std::string("\xFF\xD8\xFF\xE0\x00\x2E", 6));
  EXPECT_EQ(pic.substr(10, 2), "\x12\x34");  // pan, big-endian
  ASSERT_EQ(AddImage(Info(), "20011231/23595999", Picture(h)), ImageResult::kOk);

  const std::string idx = ReadFile(Info() + "/2001/1231.idx");
  ASSERT_EQ(idx.size(), kIndexRecordSize);
  EXPECT_EQ(idx.substr(0, 18), std::string("20011231/23595999\0", 18));
  EXPECT_EQ(idx.substr(18, 6), std::string("\x01\x00\x01\x01\x02\x03", 6));
  EXPECT_EQ(idx.substr(24, 2), "\x34\x12");  // little-endian in the index
  EXPECT_EQ(idx.substr(32, 4), std::string("\x00\xCA\x9A\x3B", 4));
  EXPECT_EQ(idx.substr(36, 4), std::string("\xD4\xFE\x07\x00", 4));

  auto reader = OpenDayInDirectory(Image(), 2001, 1231, CatalogFilter{});
  ASSERT_TRUE(reader);
  ImageRecordInfo info;
  EXPECT_EQ(reader->ReadImageRecord(&info), 23595999);
  EXPECT_EQ(info.pan, 0x1234);
  EXPECT_EQ(info.zone_offset, -300);
  EXPECT_EQ(info.record_time, 0x3B9ACA00u);
  EXPECT_EQ(info.jpg_path, Image() + "/image/2001/1231/23595999.jpg");
  EXPECT_EQ(reader->NextImage(), -1);
}

TEST_F(ImageStore, ExtensionZeroTakesTheComputersZone) {
  ScopedTz tz("JST-9");
  PictureHeader h;
  h.extension = 0;
  h.zone_offset = 123;
  h.width = 1;
  PictureHeader got;
  ASSERT_TRUE(ReadPictureHeader(Picture(h), &got));
  EXPECT_EQ(got.zone_offset, 540);
  EXPECT_EQ(got.width, 320);
  EXPECT_EQ(got.height, 240);
  h.extension = 1;
  ASSERT_TRUE(ReadPictureHeader(Picture(h), &got));
  EXPECT_EQ(got.zone_offset, 123);
}

TEST_F(ImageStore, InvalidHeaderGivesMinus2AndNoRecord) {
  std::string good = BuildPicture(PictureHeader{});
  std::string no_app0 = good, no_kv = good;
  no_app0[3] = '\xE1';
  no_kv[7] = 'X';
  int n = 0;
  for (const std::string& bytes : {no_app0, no_kv, good.substr(0, 49), std::string()}) {
    std::string path = env_.Path("bad" + std::to_string(n++));
    WriteFile(path, bytes);
    EXPECT_EQ(AddImage(Info(), "20020101/00000000", path), ImageResult::kNotPicture);
  }
  EXPECT_EQ(AddImage(Info(), "20020101/00000000", env_.Path("missing.jpg")),
            ImageResult::kNotPicture);
  EXPECT_EQ(FileSize(Info() + "/2002/0101.idx"), 0);
  EXPECT_EQ(ContainsImage(Info(), "20020101/00000000"), 0);
}

TEST_F(ImageStore, RemovalZeroesInPlace) {
  const std::string pic = Picture();
  ASSERT_EQ(AddImage(Info(), "20020101/00000001", pic), ImageResult::kOk);
  ASSERT_EQ(AddImage(Info(), "20020101/00000002", pic), ImageResult::kOk);
  ASSERT_EQ(AddImage(Info(), "20020101/00000002", pic), ImageResult::kOk);
  EXPECT_EQ(ContainsImage(Info(), "20020101/00000002"), 1);
  EXPECT_EQ(ContainsImage(Info(), "20020101/0000000"), 0);
  EXPECT_EQ(RemoveImage(Info(), "20020101/00000002"), ImageResult::kOk);
  EXPECT_EQ(ContainsImage(Info(), "20020101/00000002"), 1);  // the duplicate remains
  EXPECT_EQ(RemoveImage(Info(), "20020101/00000002"), ImageResult::kOk);
  EXPECT_EQ(ContainsImage(Info(), "20020101/00000002"), 0);
  EXPECT_EQ(ContainsImage(Info(), "20020101/00000001"), 1);
  EXPECT_EQ(RemoveImage(Info(), "20020101/00000099"), ImageResult::kOk);
  EXPECT_EQ(FileSize(Info() + "/2002/0101.idx"), 3 * 40);
  EXPECT_EQ(RemoveImage(Info(), "20020102/00000001"), ImageResult::kFileError);  // no day file
  EXPECT_EQ(ContainsImage(Info(), "20020102/00000001"), 0);
}

TEST_F(ImageStore, MalformedKeysNeverReachTheFileSystem) {
  const std::string pic = Picture();
  for (const char* key :
       {"../../../x/000000", "2002/101/00000001", "20020101/000000011", "2002010100000001",
        "2002a101/00000001", "20020101/0000000/", "20020101\\00000001", "", "20020101/0000000"}) {
    EXPECT_EQ(AddImage(Info(), key, pic), ImageResult::kBadKey) << key;
    EXPECT_EQ(RemoveImage(Info(), key), ImageResult::kBadKey) << key;
    EXPECT_EQ(ContainsImage(Info(), key), 0) << key;
    EXPECT_EQ(ImagePath(Image(), key), "") << key;
  }
  EXPECT_FALSE(FileExists(Info()));
  EXPECT_EQ(ImagePath(Image() + "/", "20020101/12345678"),
            Image() + "/image/2002/0101/12345678.jpg");
  EXPECT_EQ(PictureNumber("20020101/12345678"), 12345678);
}

TEST_F(ImageStore, DayIndexCacheFollowsOwnAndForeignChanges) {
  const std::string pic = Picture();
  DayIndexCache cache(Info());
  EXPECT_EQ(cache.Contains("20030303/00000001"), 0);
  ASSERT_EQ(cache.Add("20030303/00000001", pic), ImageResult::kOk);
  ASSERT_EQ(cache.Add("20030303/00000002", pic), ImageResult::kOk);
  EXPECT_EQ(cache.Contains("20030303/00000001"), 1);
  EXPECT_EQ(cache.Add("20030303/00000003", env_.Path("missing")), ImageResult::kNotPicture);
  EXPECT_EQ(cache.Contains("20030303/00000003"), 0);

  // Another process appends and zeroes behind the cache's back.
  ASSERT_EQ(AddImage(Info(), "20030303/00000004", pic), ImageResult::kOk);
  EXPECT_EQ(cache.Contains("20030303/00000004"), 1);
  ASSERT_EQ(RemoveImage(Info(), "20030303/00000001"), ImageResult::kOk);
  EXPECT_EQ(cache.Contains("20030303/00000001"), 0);

  ASSERT_EQ(cache.Remove("20030303/00000002"), ImageResult::kOk);
  EXPECT_EQ(cache.Contains("20030303/00000002"), 0);
  EXPECT_EQ(ContainsImage(Info(), "20030303/00000002"), 0);

  // A deleted day file is noticed too.
  ASSERT_EQ(DeleteDayInDirectory(Image(), 2003, 303), ImageResult::kOk);
  EXPECT_EQ(cache.Contains("20030303/00000004"), 0);
  EXPECT_EQ(cache.Contains("../../../x/000000"), 0);
}

// A header taken from the streaming bytes files the picture as the file would; the day file
// kept open for the next picture is given up when another file takes its name.
TEST_F(ImageStore, DayIndexCacheFilesHeadersIntoTheFileUnderTheDaysName) {
  const std::string pic = Picture();
  PictureHeader header;
  ASSERT_TRUE(PictureHeaderOf(ReadFile(pic), &header));
  DayIndexCache cache(Info());
  ASSERT_EQ(cache.Add("20040404/00000001", header), ImageResult::kOk);
  ASSERT_EQ(cache.Add("20040404/00000002", header), ImageResult::kOk);
  EXPECT_EQ(ContainsImage(Info(), "20040404/00000002"), 1);
  EXPECT_EQ(cache.Contains("20040404/00000002"), 1);
  const std::string day = DayIndexPath(Info(), 2004, 404);
  ASSERT_EQ(ReadFile(day).size(), 2 * kIndexRecordSize);

  // Another program puts a new day file in place (write and rename): the next picture goes
  // into that file, not into the one replaced.
  const std::string fresh = ReadFile(day).substr(0, kIndexRecordSize);
  WriteFile(day + ".new", fresh);
  ASSERT_EQ(::rename((day + ".new").c_str(), day.c_str()), 0);
  ASSERT_EQ(cache.Add("20040404/00000003", header), ImageResult::kOk);
  EXPECT_EQ(ReadFile(day).size(), 2 * kIndexRecordSize);
  EXPECT_EQ(cache.Contains("20040404/00000002"), 0);
  EXPECT_EQ(ContainsImage(Info(), "20040404/00000003"), 1);
  // So does a day file deleted meanwhile, and a new year's directory is made.
  ASSERT_EQ(::unlink(day.c_str()), 0);
  ASSERT_EQ(cache.Add("20040404/00000004", header), ImageResult::kOk);
  EXPECT_EQ(ReadFile(day).size(), kIndexRecordSize);
  ASSERT_EQ(cache.Add("20050505/00000001", header), ImageResult::kOk);
  EXPECT_EQ(ContainsImage(Info(), "20050505/00000001"), 1);
  EXPECT_EQ(cache.Add("2005050/000000011", header), ImageResult::kBadKey);
}

TEST_F(ImageStore, CatalogueRecognisesYearsAndDaysAndApplliesRangeAndFilters) {
  auto add = [&](const char* key, std::uint8_t camera, std::uint8_t trigger) {
    ASSERT_EQ(AddImage(Info(), key, Picture(camera, trigger)), ImageResult::kOk);
  };
  add("20011231/10000000", 1, 33);
  add("20011231/11000000", 2, 1);
  add("20010101/10000000", 1, 34);
  add("20020615/10000000", 3, 2);
  add("20030101/10000000", 1, 33);
  ASSERT_EQ(RemoveImage(Info(), "20030101/10000000"),
            ImageResult::kOk);  // a year holding only a deleted record
  ASSERT_TRUE(CreateDirectoryChain(Info() + "/01"));
  WriteFile(Info() + "/2001/12.idx", std::string(40, 'x'));
  WriteFile(Info() + "/2001/12345678.idx", std::string(40, 'x'));
  WriteFile(Info() + "/200x", "");

  auto cat = OpenCatalogForDirectory(Image());
  ASSERT_TRUE(cat);
  EXPECT_EQ(cat->Years(), (std::vector<int>{2001, 2002, 2003}));
  EXPECT_EQ(cat->Whole().triggers_by_camera.at(1), (std::vector<std::uint8_t>{33, 34}));
  EXPECT_EQ(cat->Whole().cameras_by_trigger.at(33), (std::vector<std::uint8_t>{1}));
  ASSERT_TRUE(cat->ForYear(2002));
  EXPECT_EQ(cat->ForYear(2002)->cameras_by_trigger.at(2), (std::vector<std::uint8_t>{3}));

  CatalogFilter cam1{0, 1};
  EXPECT_EQ(cat->NextYear(cam1), 2001);
  EXPECT_EQ(cat->NextYear(cam1), -1);
  cat->ResetYears();
  EXPECT_EQ(cat->NextYear(CatalogFilter{}), 2001);

  auto days = OpenYear(*cat, 2001, CatalogFilter{});
  ASSERT_TRUE(days);
  EXPECT_EQ(days->Days(), (std::vector<int>{101, 1231}));
  auto trig1 = OpenYear(*cat, 2001, CatalogFilter{1, 0});
  EXPECT_EQ(trig1->Days(), (std::vector<int>{1231}));
  EXPECT_EQ(trig1->NextDay(), 1231);
  EXPECT_EQ(trig1->NextDay(), -1);
  EXPECT_FALSE(OpenYear(*cat, 1999, CatalogFilter{}));

  auto reader = OpenDay(*cat, 2001, 1231, CatalogFilter{0, 2});
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->NextImage(), 11000000);
  EXPECT_EQ(reader->Key(), "20011231/11000000");
  EXPECT_EQ(reader->NextImage(), -1);
  auto deleted = OpenDay(*cat, 2003, 101, CatalogFilter{});
  ASSERT_TRUE(deleted);
  EXPECT_EQ(deleted->NextImage(), -1);

  CatalogRange range{{2001, 6, 1}, {2002, 6, 14}};
  auto limited = OpenCatalogForDirectory(Image(), &range);
  EXPECT_EQ(limited->Years(), (std::vector<int>{2001, 2002}));
  EXPECT_EQ(OpenYear(*limited, 2001, CatalogFilter{})->Days(), (std::vector<int>{1231}));
  EXPECT_TRUE(OpenYear(*limited, 2002, CatalogFilter{})->Days().empty());
  EXPECT_FALSE(limited->Whole().triggers_by_camera.count(3));

  auto empty = OpenCatalogForDirectory(env_.Path("nothing"));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->Years().empty());
}

TEST_F(ImageStore, CatalogueAndDayDeletionThroughTheProfile) {
  CKVSrvMgr mgr;
  ASSERT_TRUE(mgr.Init());
  CKVSrvInfo p;
  ASSERT_EQ(p.SetServerName("cam"), kCheckAccepted);
  ASSERT_EQ(p.SetImageDirectory(Image()), kCheckAccepted);
  ASSERT_EQ(p.SetHostName("127.0.0.1"), kCheckAccepted);
  ASSERT_EQ(mgr.Add(&p), SrvResult::SRV_OK);
  const std::string pic = Picture();
  ASSERT_EQ(AddImage(Info(), "20040404/12000000", pic), ImageResult::kOk);
  ASSERT_TRUE(CreateDirectoryChain(Image() + "/image/2004/0404/sub"));
  WriteFile(ImagePath(Image(), "20040404/12000000"), "jpg");

  // A link inside the day leads outside; removing the day must not follow it.
  ASSERT_TRUE(CreateDirectoryChain(env_.Path("outside")));
  WriteFile(env_.Path("outside/keep.txt"), "keep");
  ASSERT_EQ(
      ::symlink(env_.Path("outside").c_str(), (Image() + "/image/2004/0404/sub/link").c_str()), 0);

  auto cat = OpenCatalog(p.GetId());
  ASSERT_TRUE(cat);
  EXPECT_EQ(cat->Years(), (std::vector<int>{2004}));
  EXPECT_TRUE(OpenDay(p.GetId(), 2004, 404, CatalogFilter{}));
  EXPECT_FALSE(OpenCatalog(Guid{{5, 5}}));
  EXPECT_EQ(DeleteDay(Guid{{5, 5}}, 2004, 404), ImageResult::kFileError);

  EXPECT_EQ(DeleteDay(p.GetId(), 2004, 404), ImageResult::kOk);
  EXPECT_FALSE(FileExists(Image() + "/image/2004/0404"));
  EXPECT_FALSE(FileExists(Info() + "/2004/0404.idx"));
  EXPECT_TRUE(IsDirectory(Image() + "/image/2004"));  // year directories stay
  EXPECT_EQ(ReadFile(env_.Path("outside/keep.txt")), "keep");

  // A day whose paths lead through a link is refused whole: neither its pictures nor its
  // index go, so nothing is left orphaned.
  ASSERT_TRUE(CreateDirectoryChain(env_.Path("elsewhere/0505")));
  WriteFile(env_.Path("elsewhere/0505/a.jpg"), "a");
  ASSERT_EQ(::symlink(env_.Path("elsewhere").c_str(), (Image() + "/image/2005").c_str()), 0);
  ASSERT_EQ(AddImage(Info(), "20050505/12000000", pic), ImageResult::kOk);
  EXPECT_EQ(DeleteDay(p.GetId(), 2005, 505), ImageResult::kFileError);
  EXPECT_EQ(ReadFile(env_.Path("elsewhere/0505/a.jpg")), "a");
  EXPECT_EQ(ContainsImage(Info(), "20050505/12000000"), 1);

  // "image" itself a link, and the index file a link: refused the same way.
  const std::string moved = env_.Path("moved");
  ASSERT_EQ(::rename((Image() + "/image").c_str(), moved.c_str()), 0);
  ASSERT_EQ(::symlink(moved.c_str(), (Image() + "/image").c_str()), 0);
  ASSERT_TRUE(CreateDirectoryChain(moved + "/2006/0606"));
  ASSERT_EQ(AddImage(Info(), "20060606/12000000", pic), ImageResult::kOk);
  EXPECT_EQ(DeleteDay(p.GetId(), 2006, 606), ImageResult::kFileError);
  EXPECT_TRUE(IsDirectory(moved + "/2006/0606"));
  EXPECT_EQ(ContainsImage(Info(), "20060606/12000000"), 1);
  ASSERT_EQ(::unlink((Image() + "/image").c_str()), 0);
  ASSERT_EQ(::rename(moved.c_str(), (Image() + "/image").c_str()), 0);
  ASSERT_EQ(::rename(DayIndexPath(Info(), 2006, 606).c_str(), env_.Path("real.idx").c_str()), 0);
  ASSERT_EQ(::symlink(env_.Path("real.idx").c_str(), DayIndexPath(Info(), 2006, 606).c_str()), 0);
  EXPECT_EQ(DeleteDay(p.GetId(), 2006, 606), ImageResult::kFileError);
  EXPECT_TRUE(IsDirectory(Image() + "/image/2006/0606"));
  EXPECT_TRUE(FileExists(env_.Path("real.idx")));
}

}  // namespace
}  // namespace pondrel
