// A generated album in a real browser: Debian's Chromium, headless, opens the top page; the
// frames load, every picture loads, the page links lead where they should and the time
// drop-down brings the chosen picture into view. With PONDREL_ALBUM_SCREENSHOTS set to a
// directory, the test leaves screenshots of what it saw there.
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "camsim/picture_file.h"
#include "common/fs_util.h"
#include "imagestore/image_index.h"
#include "taskview/album/album_generator.h"
#include "taskview/album/album_html.h"
#include "tests/support/test_env.h"
#include "tests/taskview/devtools_client.h"

namespace pondrel::album {
namespace {

using test::Chromium;

constexpr char kServerName[] = "Cam & 50% <yard>";

// Every picture of the view frame has loaded (and there are `count`).
std::string ImagesLoaded(int count) {
  return "document.readyState == 'complete' && document.images.length == " + std::to_string(count) +
         " && Array.from(document.images).every(i => i.complete && i.naturalWidth > 0)";
}

std::string InView(const std::string& anchor) {
  return "(function(){ var a = document.getElementsByName('" + anchor +
         "')[0]; if (!a) return false; var r = a.getBoundingClientRect();"
         " return r.top >= 0 && r.top < innerHeight; })()";
}

std::string Links() {
  return "Array.from(document.links).map(a => a.getAttribute('href')).join(' ')";
}

std::string Choose(int option) {
  return "(function(){ var s = document.forms.listform.s1; s.selectedIndex = " +
         std::to_string(option) + "; s.dispatchEvent(new Event('change')); return true; })()";
}

class AlbumInBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::FindChromium().empty()) {
      GTEST_SKIP() << "chromium is not installed: the album browser test needs Debian's "
                      "chromium package (scripts/setup.sh installs it)";
    }
    // 250 real pictures (small grey JPEG files with the camera header) in a directory whose
    // name needs percent-encoding in a URL.
    image_dir_ = env_.Path("album #1 50% & co");
    const std::string info = InfoDirOf(image_dir_);
    for (int i = 0; i < 250; ++i) {
      char key[32];
      std::snprintf(key, sizeof key, "20030105/%02d%02d%02d00", 9 + i / 3600, (i / 60) % 60,
                    i % 60);
      camsim::PictureHeaderFields h;
      h.record_time = 1041724800u + static_cast<unsigned>(i);  // 2003-01-05 09:00:00 at UTC+9
      h.zone_offset = 540;
      h.trigger = static_cast<std::uint8_t>(33 + i % 4);
      const std::string path = ImagePath(image_dir_, key);
      CreateDirectoryChain(path.substr(0, path.rfind('/')));
      test::WriteFile(path, camsim::BuildPictureFile(h, key, 0));
      ASSERT_EQ(AddImage(info, key, path), ImageResult::kOk);
    }
  }

  std::string Generate(AlbumLanguage language) {
    AlbumRequest req;
    req.image_dir = image_dir_;
    req.server_name = kServerName;
    req.date = {2003, 1, 5};
    req.language = language;
    AlbumOutput r;
    EXPECT_EQ(GenerateAlbum(req, &r), AlbumResult::kOk);
    EXPECT_EQ(r.appended, 250);
    return r.top_page;
  }

  void Shot(Chromium& browser, const char* name) {
    const char* dir = std::getenv("PONDREL_ALBUM_SCREENSHOTS");
    if (dir && *dir) {
      EXPECT_TRUE(browser.Screenshot(std::string(dir) + "/" + name));
    }
  }

  test::ScopedTestEnv env_;
  std::string image_dir_;
};

TEST_F(AlbumInBrowser, FramesPicturesLinksAndTheTimeDropDown) {
  const std::string top = Generate(AlbumLanguage::kEnglish);
  Chromium browser;
  std::string error;
  ASSERT_TRUE(browser.Start(env_.Path("chromium-profile"), &error)) << error;
  ASSERT_TRUE(browser.Navigate(FileUrl(top)));

  // The frames and the thumbnails of page 0.
  ASSERT_TRUE(browser.WaitFor("stage/view", ImagesLoaded(100)))
      << browser.Evaluate("stage/view", "document.images.length");
  auto frames = browser.Frames();
  auto ends_with = [&](const char* path, const std::string& tail) {
    const std::string& url = frames[path].url;
    return url.size() >= tail.size() &&
           url.compare(url.size() - tail.size(), tail.size(), tail) == 0;
  };
  EXPECT_TRUE(ends_with("", "/html/20030105/top-e.html")) << frames[""].url;
  EXPECT_TRUE(ends_with("all-list", "/allist-e.html"));
  EXPECT_TRUE(ends_with("stage", "/index0-e.html"));
  EXPECT_TRUE(ends_with("stage/list", "/list0-e.html"));
  EXPECT_TRUE(ends_with("stage/view", "/thumb0-e.html"));
  // The server name reads as it is, markup characters and "%" included.
  EXPECT_EQ(browser.Evaluate("", "document.title"), "\"Cam & 50% <yard> 2003/01/05\"");
  EXPECT_EQ(browser.Evaluate("stage/list", "document.querySelector('h2').textContent"),
            "\"Images of Cam & 50% <yard>\"");
  EXPECT_EQ(browser.Evaluate("stage/view",
                             "decodeURIComponent(new URL(document.images[7].src).pathname)"),
            "\"" + ImagePath(image_dir_, "20030105/09000700") + "\"");
  Shot(browser, "album-thumbnails.png");

  // The time drop-down: a picture below the fold comes into view.
  EXPECT_EQ(browser.Evaluate("stage/view", InView("IMAGE95")), "false");
  EXPECT_EQ(browser.Evaluate("stage/list", Choose(95)), "true");
  EXPECT_TRUE(browser.WaitFor("stage/view", "location.hash == '#IMAGE95' && " + InView("IMAGE95")));
  Shot(browser, "album-thumbnails-jump.png");

  // The detail view of page 0, every picture loaded, and a jump there.
  EXPECT_EQ(browser.Evaluate("stage/list", Links()),
            "\"thumb0-e.html detail0-e.html index1-e.html\"");
  EXPECT_EQ(browser.Evaluate("stage/list", "document.links[1].click(), true"), "true");
  ASSERT_TRUE(browser.WaitFor(
      "stage/view", "location.pathname.endsWith('/detail0-e.html') && " + ImagesLoaded(100)));
  EXPECT_EQ(browser.Evaluate("stage/view", InView("IMAGE42")), "false");
  EXPECT_EQ(browser.Evaluate("stage/list", Choose(42)), "true");
  EXPECT_TRUE(browser.WaitFor("stage/view", "location.hash == '#IMAGE42' && " + InView("IMAGE42")));
  Shot(browser, "album-detail-jump.png");

  // The day index leads to each page; each list page to its neighbours.
  EXPECT_EQ(browser.Evaluate("all-list", Links()), "\"index0-e.html index1-e.html index2-e.html\"");
  EXPECT_EQ(browser.Evaluate("all-list", "document.links[2].click(), true"), "true");
  ASSERT_TRUE(browser.WaitFor(
      "stage/view", "location.pathname.endsWith('/thumb2-e.html') && " + ImagesLoaded(50)));
  EXPECT_EQ(browser.Evaluate("stage/list", Links()),
            "\"thumb2-e.html detail2-e.html index1-e.html\"");
  EXPECT_EQ(browser.Evaluate("stage/list", "document.links[2].textContent"), "\"Prev. 100 pics\"");
  EXPECT_EQ(browser.Evaluate("stage/list", "document.links[2].click(), true"), "true");
  ASSERT_TRUE(browser.WaitFor(
      "stage/view", "location.pathname.endsWith('/thumb1-e.html') && " + ImagesLoaded(100)));
  EXPECT_TRUE(browser.WaitFor("stage/list", "location.pathname.endsWith('/list1-e.html')"));
  EXPECT_EQ(browser.Evaluate("stage/list", Links()),
            "\"thumb1-e.html detail1-e.html index0-e.html index2-e.html\"");
  EXPECT_EQ(
      browser.Evaluate("stage/list", "document.forms.listform.s1.options[0].textContent.trim()"),
      "\"09:01:40\"");
  EXPECT_EQ(browser.Evaluate("stage/list", Choose(99)), "true");
  EXPECT_TRUE(
      browser.WaitFor("stage/view", "location.hash == '#IMAGE199' && " + InView("IMAGE199")));
  EXPECT_EQ(browser.Evaluate("stage/list", "document.links[3].click(), true"), "true");
  EXPECT_TRUE(browser.WaitFor("stage", "location.pathname.endsWith('/index2-e.html')"));
}

TEST_F(AlbumInBrowser, JapanesePagesDeclareShiftJis) {
  const std::string top = Generate(AlbumLanguage::kJapanese);
  Chromium browser;
  std::string error;
  ASSERT_TRUE(browser.Start(env_.Path("chromium-profile"), &error)) << error;
  ASSERT_TRUE(browser.Navigate(FileUrl(top)));
  ASSERT_TRUE(browser.WaitFor("stage/view", ImagesLoaded(100)));
  EXPECT_EQ(browser.Evaluate("stage/list", "document.characterSet"), "\"Shift_JIS\"");
  EXPECT_EQ(browser.Evaluate("stage/list", "document.querySelector('h2').textContent"),
            "\"Cam & 50% <yard>\xE3\x81\xAE\xE7\x94\xBB\xE5\x83\x8F\"");  // の画像
  EXPECT_EQ(browser.Evaluate("all-list", Links()), "\"index0-j.html index1-j.html index2-j.html\"");
  EXPECT_EQ(browser.Evaluate("stage/list", Choose(60)), "true");
  EXPECT_TRUE(browser.WaitFor("stage/view", "location.hash == '#IMAGE60' && " + InView("IMAGE60")));
  Shot(browser, "album-japanese.png");
}

}  // namespace
}  // namespace pondrel::album
