#include <fcntl.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "common/fs_util.h"
#include "common/named_object.h"
#include "taskview/image_list.h"
#include "taskview/messages.h"
#include "tests/support/test_env.h"
#include "tests/taskview/album_fixture.h"
#include "tests/taskview/test_helpers.h"

namespace pondrel::tasdek {
namespace {

using album::testing::AddPictures;

std::vector<std::string> Dates(const CImageList& list) {
  std::vector<std::string> out;
  for (const ImageListRow& r : list.Rows()) out.push_back(r.DateText() + "=" + r.CountText());
  return out;
}

class ImageList : public ::testing::Test {
 protected:
  std::string Dir(const char* name = "cam") const { return env_.Path(name); }
  test::ScopedTestEnv env_;
};

TEST_F(ImageList, ServersDaysCountsAndProgress) {
  CImageList none(ImageListMode::kDisplay);
  std::string msg;
  ASSERT_EQ(none.LoadServers(&msg), 0);
  EXPECT_FALSE(none.ServerListEnabled());
  EXPECT_EQ(none.SelectedServer(), -1);

  testing::AddServer("first", Dir("first"));
  testing::AddServer("cam", Dir());
  // 22 days over two years; a deleted record does not count.
  for (int d = 1; d <= 21; ++d) AddPictures(Dir(), 2004, 2, d, d);
  AddPictures(Dir(), 2003, 12, 31, 3);
  {
    const unsigned char raw[kIndexRecordSize] = {};
    const int fd = ::open(DayIndexPath(InfoDirOf(Dir()), 2003, 1231).c_str(), O_WRONLY | O_APPEND);
    (void)!::write(fd, raw, sizeof raw);
    ::close(fd);
  }
  CreateDirectoryChain(Dir() + "/info/03");          // not a year
  test::WriteFile(Dir() + "/info/2004/12.idx", "");  // not a day file

  CImageList list(ImageListMode::kDisplay);
  ASSERT_EQ(list.LoadServers(&msg), 0);
  ASSERT_EQ(list.Servers().size(), 2u);
  EXPECT_EQ(list.Servers()[0].name, "first");
  EXPECT_EQ(list.SelectedServer(), 0);
  std::vector<int> steps;
  list.SelectServer(1, [&](int p) { steps.push_back(p); });
  ASSERT_EQ(list.Rows().size(), 22u);
  EXPECT_EQ(Dates(list)[0], "2003/12/31=3");
  EXPECT_EQ(Dates(list)[1], "2004/02/01=1");
  EXPECT_EQ(Dates(list)[21], "2004/02/21=21");
  ASSERT_EQ(steps.size(), 23u);
  EXPECT_EQ(steps[0], 5);
  EXPECT_EQ(steps[19], 100);
  EXPECT_EQ(steps[20], 5);  // past the end the bar starts again
  EXPECT_EQ(steps[22], 0);  // and returns to 0 at the end
}

TEST_F(ImageList, SortDirectionsLastForTheProgram) {
  testing::AddServer("cam", Dir());
  AddPictures(Dir(), 2003, 1, 5, 3);
  AddPictures(Dir(), 2003, 11, 2, 1);
  AddPictures(Dir(), 2004, 1, 1, 2);
  ImageListSortMemory memory;
  std::string msg;
  {
    CImageList list(ImageListMode::kDisplay, &memory);
    list.LoadServers(&msg);
    list.SelectServer(0);
    list.SortByColumn(kColumnDate);  // first click: descending
    EXPECT_EQ(Dates(list),
              (std::vector<std::string>{"2004/01/01=2", "2003/11/02=1", "2003/01/05=3"}));
    list.SortByColumn(kColumnCount);  // a column of its own: descending as well
    EXPECT_EQ(Dates(list),
              (std::vector<std::string>{"2003/01/05=3", "2004/01/01=2", "2003/11/02=1"}));
    list.SortByColumn(kColumnDate);  // second click: ascending, as numbers (11 after 1)
    EXPECT_EQ(Dates(list),
              (std::vector<std::string>{"2003/01/05=3", "2003/11/02=1", "2004/01/01=2"}));
    list.SortByColumn(kColumnOther);  // all equal: the order stays
    EXPECT_EQ(Dates(list)[0], "2003/01/05=3");
  }
  CImageList again(ImageListMode::kDisplay, &memory);
  again.LoadServers(&msg);
  again.SelectServer(0);
  again.SortByColumn(kColumnCount);  // the count column was clicked once: ascending now
  EXPECT_EQ(Dates(again),
            (std::vector<std::string>{"2003/11/02=1", "2004/01/01=2", "2003/01/05=3"}));
}

TEST_F(ImageList, DisplayModeGeneratesTheSelectedDay) {
  testing::AddServer("50% cam", Dir());
  AddPictures(Dir(), 2003, 1, 5, 120);
  CImageList list(ImageListMode::kDisplay);
  std::string msg;
  EXPECT_EQ(list.Open(nullptr, &msg), 0);
  EXPECT_FALSE(list.HoldsEnvironmentLock());
  list.LoadServers(&msg);
  list.SelectServer(0);
  EXPECT_EQ(list.ButtonText(), "Display Image...");
  EXPECT_FALSE(list.ButtonEnabled(-1));
  EXPECT_TRUE(list.ButtonEnabled(0));
  list.SetBusy(true);
  EXPECT_FALSE(list.ButtonEnabled(0));
  list.SetBusy(false);

  std::string q;
  EXPECT_FALSE(list.Question(-1, &q));
  EXPECT_EQ(q, "Recorded Date is not selected.");
  ASSERT_TRUE(list.Question(0, &q));
  EXPECT_EQ(q,
            "HTML files to view image file \"2003/01/05\" will be generated.\r\nDo you want to "
            "continue?");

  std::vector<long> progress;
  ImageListOutcome out = list.GenerateRow(0, [&](long done, long total) {
    EXPECT_EQ(total, 120);
    progress.push_back(done);
  });
  ASSERT_EQ(out.code, 0) << out.message;
  EXPECT_EQ(out.top_page, Dir() + "/html/20030105/top-e.html");
  EXPECT_NE(test::ReadFile(out.top_page).find("<TITLE>50% cam 2003/01/05</TITLE>"),
            std::string::npos);
  // Every ceil(120 / 36) = 4 pictures.
  ASSERT_EQ(progress.size(), 30u);
  EXPECT_EQ(progress[0], 4);
  EXPECT_EQ(progress.back(), 120);

  // Fewer pictures than the row counted: the generation counts as failed.
  AddPictures(Dir(), 2003, 1, 6, 2);
  list.SelectServer(0);
  std::filesystem::remove(DayIndexPath(InfoDirOf(Dir()), 2003, 106));
  AddPictures(Dir(), 2003, 1, 6, 1);
  out = list.GenerateRow(1);
  EXPECT_EQ(out.code, 1);
  EXPECT_EQ(out.message, "Failed to generate HTML file to view image files.");
}

TEST_F(ImageList, DeleteModeRefusalsLockAndDeletion) {
  testing::AddServer("cam", Dir());
  AddPictures(Dir(), 2003, 1, 5, 3);
  AddPictures(Dir(), 2003, 1, 6, 2);
  test::WriteFile(Dir() + "/image/2003/0105/08000000.jpg", "picture");
  std::string msg;
  {
    CImageList refused(ImageListMode::kDelete);
    EXPECT_EQ(refused.Open([] { return true; }, &msg), 1);
    EXPECT_EQ(msg, "Stop the Pondrel Task Scheduler Service to continue.");
    EXPECT_FALSE(refused.HoldsEnvironmentLock());
  }
  {
    NamedLock other(kEnvironmentLockName);
    ASSERT_TRUE(other.TryLock());
    CImageList locked(ImageListMode::kDelete);
    EXPECT_EQ(locked.Open([] { return false; }, &msg), 1);
    EXPECT_EQ(msg, "Mutex error");
  }
  CImageList list(ImageListMode::kDelete);
  ASSERT_EQ(list.Open([] { return false; }, &msg), 0);
  EXPECT_TRUE(list.HoldsEnvironmentLock());
  EXPECT_TRUE(NamedObject::Exists(kEnvironmentLockName));  // the service starts no download now
  list.LoadServers(&msg);
  list.SelectServer(0);
  EXPECT_EQ(list.ButtonText(), "Delete Image");
  std::string q;
  ASSERT_TRUE(list.Question(0, &q));
  EXPECT_EQ(q, "Are you sure you want to delete \"2003/01/05\" image file?");

  album::AlbumRequest req;
  req.image_dir = Dir();
  req.date = {2003, 1, 5};
  ASSERT_EQ(album::GenerateAlbum(req, nullptr), album::AlbumResult::kOk);
  ImageListOutcome out = list.DeleteRow(0);
  EXPECT_EQ(out.code, 0);
  EXPECT_EQ(Dates(list), std::vector<std::string>{"2003/01/06=2"});
  EXPECT_FALSE(FileExists(Dir() + "/html/20030105"));
  EXPECT_FALSE(FileExists(Dir() + "/image/2003/0105"));
  EXPECT_FALSE(FileExists(Dir() + "/info/2003/0105.idx"));
  EXPECT_TRUE(FileExists(Dir() + "/info/2003/0106.idx"));
}

TEST_F(ImageList, ClosingOffersToDeleteAlbumsFromTheFirstServerOn) {
  testing::AddServer("a", Dir("a"));
  testing::AddServer("b", Dir("b"));
  testing::AddServer("c", Dir("c"));
  CAlbumCleanup none;
  ASSERT_TRUE(none.Load());
  EXPECT_FALSE(none.HasAlbums());
  CreateDirectoryChain(Dir("b") + "/html/20030105");
  CreateDirectoryChain(Dir("c") + "/html");
  CAlbumCleanup cleanup;
  ASSERT_TRUE(cleanup.Load());
  EXPECT_TRUE(cleanup.HasAlbums());
  EXPECT_EQ(cleanup.DeleteAll(), 2);
  EXPECT_FALSE(FileExists(Dir("b") + "/html"));
  EXPECT_FALSE(FileExists(Dir("c") + "/html"));
}

TEST(ImageListDates, ParseRecordedDate) {
  int y, m, d;
  EXPECT_TRUE(ParseRecordedDate("2003/01/05", &y, &m, &d));
  EXPECT_EQ(y * 10000 + m * 100 + d, 20030105);
  EXPECT_TRUE(ParseRecordedDate("2003-1-5", &y, &m, &d));
  EXPECT_TRUE(ParseRecordedDate("20031231", &y, &m, &d));
  EXPECT_EQ(m, 12);
  for (const char* bad : {"", "2003/13/01", "2003/01/32", "2003/01/05x", "yesterday", "2003"}) {
    EXPECT_FALSE(ParseRecordedDate(bad, &y, &m, &d)) << bad;
  }
}

}  // namespace
}  // namespace pondrel::tasdek
