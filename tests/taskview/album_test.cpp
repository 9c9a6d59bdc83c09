#include <iconv.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "taskview/album/album_generator.h"
#include "taskview/album/album_html.h"
#include "tests/support/test_env.h"
#include "tests/taskview/album_fixture.h"

namespace pondrel::album {
namespace {

using test::ReadFile;
using testing::AddPictures;
using testing::AddRecord;
using testing::PictureSpec;

constexpr AlbumDate kDay{2003, 1, 5};

const char kViewScript[] =
    "<SCRIPT language=\"JavaScript\">\n"
    "if (window.addEventListener) window.addEventListener(\"message\", function(e){"
    " if (/^#IMAGE[0-9]+$/.test(e.data)) location.hash=e.data; });\n"
    "</SCRIPT>\n";
const char kListHead[] =
    "<HEAD>\n"
    "<SCRIPT language=\"JavaScript\">\n"
    "<!---\n"
    "function anc(sel){\n"
    " var v=sel.options[sel.selectedIndex].value;\n"
    " try { parent.view.location.hash=v; } catch (e) { parent.view.postMessage(v, \"*\"); }\n"
    "}\n"
    "function cht(sel){\n"
    " parent.view.location.href = sel.options[sel.selectedIndex].value;\n"
    "}\n"
    "//--->\n"
    "</SCRIPT>\n"
    "</HEAD>\n";

// Shift JIS bytes to UTF-8, for reading the Japanese pages.
std::string FromShiftJis(const std::string& sjis) {
  iconv_t cd = iconv_open("UTF-8", "SHIFT_JIS");
  std::string in = sjis, out(sjis.size() * 3 + 16, '\0');
  char* ip = in.data();
  char* op = out.data();
  size_t il = in.size(), ol = out.size();
  const size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return "<not Shift JIS>";
  out.resize(out.size() - ol);
  return out;
}

class Album : public ::testing::Test {
 protected:
  std::string Dir() const { return env_.Path("srv"); }
  std::string DayDir() const { return AlbumDayDirectory(Dir(), kDay); }
  std::string Page(const std::string& name) const { return ReadFile(DayDir() + "/" + name); }
  bool Exists(const std::string& name) const { return FileExists(DayDir() + "/" + name); }
  AlbumResult Generate(AlbumOutput* r = nullptr, AlbumLanguage lang = AlbumLanguage::kEnglish,
                       bool fresh = true, const std::string& name = "cam") {
    AlbumRequest req;
    req.image_dir = Dir();
    req.server_name = name;
    req.date = kDay;
    req.language = lang;
    req.fresh = fresh;
    return GenerateAlbum(req, r);
  }
  std::string PicturePath(const char* time) const {
    return Dir() + "/image/2003/0105/" + time + ".jpg";
  }
  test::ScopedTestEnv env_;
};

TEST_F(Album, OnePictureGivesEveryPageByteForByte) {
  PictureSpec p;
  p.hour = 8, p.minute = 3, p.second = 9;
  p.pan = 18050, p.tilt = 17000, p.zoom = 250;
  AddRecord(Dir(), 2003, 1, 5, p);
  AlbumOutput r;
  ASSERT_EQ(Generate(&r), AlbumResult::kOk);
  EXPECT_EQ(r.appended, 1);
  EXPECT_EQ(r.top_page, DayDir() + "/top-e.html");
  EXPECT_EQ(DayDir(), Dir() + "/html/20030105");

  const std::string path = PicturePath("08030900");
  ASSERT_EQ(path.find_first_of(" %#&\"<>"), std::string::npos) << "the test directory";
  const std::string url = "file://" + path;
  EXPECT_EQ(Page("top-e.html"),
            "<HTML>\n<TITLE>cam 2003/01/05</TITLE>\n<FRAMESET cols=\"23%,*\">\n"
            "    <FRAME src=\"allist-e.html\" name=\"all-list\">\n"
            "    <FRAME src=\"index0-e.html\" name=\"stage\">\n</FRAMESET>\n</HTML>\n");
  EXPECT_EQ(Page("index0-e.html"),
            "<HTML>\n<TITLE>cam 2003/01/05</TITLE>\n<FRAMESET rows=\"25%,*\">\n"
            "    <FRAME src=\"list0-e.html\" name=\"list\">\n"
            "    <FRAME src=\"thumb0-e.html\" name=\"view\">\n</FRAMESET>\n</HTML>\n");
  EXPECT_EQ(Page("allist-e.html"),
            "<HTML>\n<BR><BR>\n<CENTER>\nIt is the caputure time of the beginning of each page."
            "<BR><BR>\n<I>\n<A href=\"index0-e.html\" target=\"stage\">08:03:09 -</A><BR>\n"
            "</HTML>\n");
  EXPECT_EQ(Page("list0-e.html"),
            std::string(kListHead) +
                "<BODY>\n<center><H2>Images of cam</H2></center>\n<FORM NAME=\"listform\">\n"
                "<TABLE width=\"100%\" border=0><TR><TD>"
                "<A HREF=\"thumb0-e.html\" target=\"view\">Thumbnail View</A> "
                "<A HREF=\"detail0-e.html\" target=\"view\">Detail Display</A></TD>\n"
                "<TD align=right>recorded on 2003/01/05 "
                "<SELECT name=\"s1\" onChange=\"anc(this.form.s1);\">\n"
                "<OPTION value=\"#IMAGE0\">08:03:09\n"
                "<!-- end -->\n</SELECT>\n</TD></TR></TABLE>\n</FORM>\n</BODY>\n");
  EXPECT_EQ(Page("detail0-e.html"),
            std::string("<HTML>\n<TITLE>cam</TITLE>\n") + kViewScript + "<BODY>\n" +
                "<A name=\"IMAGE0\">\n<FONT size=3>No.001</FONT><TABLE border=0>\n<TR>\n"
                "<TD valign=top><A href=\"" +
                url + "\" target=\"_blank\"><IMG src=\"" + url +
                "\" width=160 height=120></A></TD>\n"
                "<TD valign=top><PRE>Recorded Date & Time  2003/01/05/ 08:03:09\n"
                "Trigger        Schedule 1\n"
                "Camera         Camera 1\n"
                "Pan            0.50\n"
                "Tilt           -10.00\n"
                "Zoom           2.50\n"
                "Brightness     Standard\n"
                "File Name      " +
                path +
                "\n"
                "</PRE></TD>\n</TABLE>\n<P>\n");
  EXPECT_EQ(Page("thumb0-e.html"),
            std::string("<HTML>\n") + kViewScript + "<BODY>\n" + "<A name=\"IMAGE0\">\n<A href=\"" +
                url + "\" target=\"_blank\"><IMG src=\"" + url +
                "\" width=100 height=75 alt=\"No.1\nRecorded Time: 2003/01/05 08:03:09\n"
                "Trigger: Schedule 1\nCamera: Camera 1\nPan: 0.50\nTilt: -10.00\nZoom: 2.50\n"
                "Brighter: Standard\nFile Name: " +
                path + "\"></A>\n");
  EXPECT_EQ(Page("workinfo.html"), "0 1");
}

TEST_F(Album, PagesOfAHundredWithTheirLinks) {
  // 250 pictures: pages 0, 1 and 2.
  AddPictures(Dir(), 2003, 1, 5, 250);
  AlbumOutput r;
  ASSERT_EQ(Generate(&r), AlbumResult::kOk);
  EXPECT_EQ(r.appended, 250);
  for (const char* name : {"index0-e.html", "index1-e.html", "index2-e.html", "list2-e.html",
                           "thumb2-e.html", "detail2-e.html"}) {
    EXPECT_TRUE(Exists(name)) << name;
  }
  EXPECT_FALSE(Exists("list3-e.html"));
  const std::string prev0 = "<A href=\"index0-e.html\" target=\"stage\">Prev. 100 pics</A>\n";
  const std::string prev1 = "<A href=\"index1-e.html\" target=\"stage\">Prev. 100 pics</A>\n";
  const std::string next1 = "<A href=\"index1-e.html\" target=\"stage\">Next 100 pics</A>\n";
  const std::string next2 = "<A href=\"index2-e.html\" target=\"stage\">Next 100 pics</A>\n";
  const std::string tail = "</TD></TR></TABLE>\n</FORM>\n</BODY>\n";
  const std::string list0 = Page("list0-e.html");
  EXPECT_NE(list0.find("<OPTION value=\"#IMAGE99\">08:01:39\n</SELECT>\n" + next1 + tail),
            std::string::npos);
  EXPECT_EQ(list0.find("Prev."), std::string::npos);
  const std::string list1 = Page("list1-e.html");
  EXPECT_NE(list1.find("<OPTION value=\"#IMAGE100\">08:01:40\n"), std::string::npos);
  EXPECT_NE(list1.find("</SELECT>\n" + prev0 + "&nbsp;&nbsp;&nbsp;" + next2 + tail),
            std::string::npos);
  EXPECT_NE(list1.find("recorded on 2003/01/05 "), std::string::npos);
  const std::string list2 = Page("list2-e.html");
  const std::string end2 = "<OPTION value=\"#IMAGE249\">08:04:09\n<!-- end -->\n</SELECT>\n" +
                           prev1 + "&nbsp;&nbsp;&nbsp;" + tail;
  ASSERT_GE(list2.size(), end2.size());
  EXPECT_EQ(list2.substr(list2.size() - end2.size()), end2);
  EXPECT_EQ(list2.find("Next"), std::string::npos);
  const std::string allist = Page("allist-e.html");
  EXPECT_NE(allist.find("<I>\n"
                        "<A href=\"index0-e.html\" target=\"stage\">08:00:00 -</A><BR>\n"
                        "<A href=\"index1-e.html\" target=\"stage\">08:01:40 -</A><BR>\n"
                        "<A href=\"index2-e.html\" target=\"stage\">08:03:20 -</A><BR>\n"
                        "</HTML>\n"),
            std::string::npos);
  EXPECT_NE(Page("detail2-e.html").find("<A name=\"IMAGE249\">\n<FONT size=3>No.250</FONT>"),
            std::string::npos);
  EXPECT_NE(Page("thumb1-e.html").find("alt=\"No.101\n"), std::string::npos);
  EXPECT_EQ(Page("workinfo.html"), "0 250");
  EXPECT_NE(Page("index2-e.html").find("<FRAME src=\"list2-e.html\" name=\"list\">"),
            std::string::npos);

  // Exactly 100 pictures: one page without previous or next link.
  std::filesystem::remove_all(Dir());
  AddPictures(Dir(), 2003, 1, 5, 100);
  ASSERT_EQ(Generate(&r), AlbumResult::kOk);
  EXPECT_FALSE(Exists("list1-e.html"));
  EXPECT_FALSE(Exists("index1-e.html"));
  EXPECT_EQ(Page("list0-e.html").find("<A href=\"index"), std::string::npos);
  EXPECT_EQ(Page("workinfo.html"), "0 100");
}

TEST_F(Album, ValueTextsAndOmittedLines) {
  PictureSpec none;  // pan, tilt, zoom not recorded; brightness 0; trigger 40
  none.pan = none.tilt = none.zoom = 0;
  none.brightness = 0;
  none.trigger = 40;
  AddRecord(Dir(), 2003, 1, 5, none);
  PictureSpec standard = none;  // only a brightness
  standard.second = 1, standard.brightness = 1, standard.trigger = 1;
  AddRecord(Dir(), 2003, 1, 5, standard);
  PictureSpec three = none;
  three.second = 2, three.brightness = 3, three.trigger = 36, three.camera = 4;
  three.pan = 1;  // the far end: -179.99
  AddRecord(Dir(), 2003, 1, 5, three);
  PictureSpec brighter = none;
  brighter.second = 3, brighter.brightness = 2, brighter.trigger = 2;
  brighter.zone_offset = -300;  // the camera's own clock, whatever the PC's zone
  AddRecord(Dir(), 2003, 1, 5, brighter);
  ASSERT_EQ(Generate(), AlbumResult::kOk);
  const std::string detail = Page("detail0-e.html");
  const std::string thumb = Page("thumb0-e.html");
  auto entry = [](const std::string& page, int n) {
    const std::size_t a = page.find("name=\"IMAGE" + std::to_string(n) + "\"");
    const std::size_t b = page.find("name=\"IMAGE" + std::to_string(n + 1) + "\"");
    return page.substr(a, b == std::string::npos ? std::string::npos : b - a);
  };
  const std::string d0 = entry(detail, 0);
  EXPECT_NE(d0.find("Trigger        ?\nCamera         Camera 1\nFile Name"), std::string::npos);
  EXPECT_EQ(d0.find("Pan"), std::string::npos);
  EXPECT_EQ(d0.find("Brightness"), std::string::npos);
  EXPECT_NE(entry(thumb, 0).find("Trigger: ?\nCamera: Camera 1\nFile Name: "), std::string::npos);
  // Without pan, tilt and zoom the camera text runs straight into the brightness label.
  EXPECT_NE(entry(thumb, 1).find("Trigger: Device 1\nCamera: Camera 1Brighter: Standard\nFile"),
            std::string::npos);
  EXPECT_NE(entry(detail, 1).find("Brightness     Standard\n"), std::string::npos);
  const std::string d2 = entry(detail, 2);
  EXPECT_NE(d2.find("Trigger        Schedule 4\nCamera         Camera 4\nPan            -179.99\n"
                    "File Name"),
            std::string::npos);
  EXPECT_EQ(d2.find("Brightness"), std::string::npos);
  EXPECT_NE(entry(thumb, 2).find("Camera: Camera 4\nPan: -179.99\n\nFile Name"), std::string::npos);
  EXPECT_NE(entry(detail, 3).find("2003/01/05/ 08:00:03\nTrigger        Device 2\n"),
            std::string::npos);
  EXPECT_NE(entry(detail, 3).find("Brightness     Brighter\n"), std::string::npos);
}

TEST_F(Album, NamesAndPathsAreEscapedAndLinkedAsFileUrls) {
  // An image directory with a blank, "#", "%" and "&", and a server name with markup.
  const std::string dir = env_.Path("my #1 50% & <cams>");
  AddPictures(dir, 2003, 1, 5, 1);
  AlbumRequest req;
  req.image_dir = dir;
  req.server_name = "50% \"Cam\" & <b>K\xC3\xB6ln</b>";
  req.date = kDay;
  AlbumOutput r;
  ASSERT_EQ(GenerateAlbum(req, &r), AlbumResult::kOk);
  const std::string day = AlbumDayDirectory(dir, kDay);
  const std::string name = "50% &quot;Cam&quot; &amp; &lt;b&gt;K&#246;ln&lt;/b&gt;";
  EXPECT_NE(ReadFile(day + "/top-e.html").find("<TITLE>" + name + " 2003/01/05</TITLE>"),
            std::string::npos);
  EXPECT_NE(ReadFile(day + "/list0-e.html").find("<H2>Images of " + name + "</H2>"),
            std::string::npos);
  const std::string detail = ReadFile(day + "/detail0-e.html");
  EXPECT_NE(detail.find("<TITLE>" + name + "</TITLE>"), std::string::npos);
  EXPECT_NE(detail.find("/my%20%231%2050%25%20%26%20%3Ccams%3E/image/2003/0105/08000000.jpg\""),
            std::string::npos);
  EXPECT_NE(detail.find("href=\"file:///"), std::string::npos);
  EXPECT_NE(detail.find("File Name      " + env_.Dir() +
                        "/my #1 50% &amp; &lt;cams&gt;/image/2003/0105/08000000.jpg\n"),
            std::string::npos);
  EXPECT_NE(ReadFile(day + "/thumb0-e.html")
                .find("File Name: " + env_.Dir() + "/my #1 50% &amp; &lt;cams&gt;/image/"),
            std::string::npos);

  EXPECT_EQ(FileUrl("/a b/\xE3\x81\x82.jpg"), "file:///a%20b/%E3%81%82.jpg");
  EXPECT_EQ(HtmlText("a\x01'\xFF\xE3\x81\x82"), "a&#39;&#65533;&#12354;");
}

TEST_F(Album, JapaneseVariantLinksItsOwnPagesInShiftJis) {
  PictureSpec p;
  p.hour = 8, p.minute = 3, p.second = 9;
  p.trigger = 1;
  p.pan = 18050;
  p.brightness = 2;
  AddRecord(Dir(), 2003, 1, 5, p);
  AddPictures(Dir(), 2003, 1, 5, 150, 200);
  AlbumOutput r;
  ASSERT_EQ(Generate(&r, LanguageOfTopPageName("top-j.html")), AlbumResult::kOk);
  EXPECT_EQ(r.top_page, DayDir() + "/top-j.html");
  EXPECT_FALSE(Exists("top-e.html"));
  const char* meta =
      "<META http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\">\n";
  for (const char* name : {"top-j.html", "allist-j.html", "index0-j.html", "list0-j.html",
                           "thumb0-j.html", "detail0-j.html"}) {
    const std::string page = Page(name);
    EXPECT_NE(page.find(meta), std::string::npos) << name;
    EXPECT_LT(page.find(meta), 20u) << name;
    EXPECT_EQ(page.find("-e.html"), std::string::npos) << name;
  }
  EXPECT_NE(Page("top-j.html").find("src=\"index0-j.html\""), std::string::npos);
  const std::string list0 = FromShiftJis(Page("list0-j.html"));
  EXPECT_NE(list0.find("<H2>cam\xE3\x81\xAE\xE7\x94\xBB\xE5\x83\x8F</H2>"),
            std::string::npos);  // camの画像
  EXPECT_NE(
      list0.find("\">サムネイル表示</A> <A HREF=\"detail0-j.html\" target=\"view\">詳細表示</A>"),
      std::string::npos);
  EXPECT_NE(list0.find("撮影日時 2003年01月05日 <SELECT"), std::string::npos);
  EXPECT_NE(list0.find("<A href=\"index1-j.html\" target=\"stage\">次の100枚</A>\n"),
            std::string::npos);
  EXPECT_NE(
      FromShiftJis(Page("list1-j.html"))
          .find("<A href=\"index0-j.html\" target=\"stage\">前の100枚</A>\n&nbsp;&nbsp;&nbsp;"),
      std::string::npos);
  const std::string detail = FromShiftJis(Page("detail0-j.html"));
  EXPECT_NE(detail.find("<A name=\"IMAGE0\">\n<TABLE border=0>\n<FONT size=3>No.001</FONT><TR>\n"),
            std::string::npos);
  EXPECT_NE(detail.find("<PRE>撮影日時    2003年1月5日 8時3分9秒\nトリガー    接点1\n"
                        "カメラ      カメラ1\nパン        0.50\nチルト      0.00\n"
                        "ズーム      1.00\n明るさ      明るめ\nファイル名  " +
                        PicturePath("08030900") + "\n</PRE>"),
            std::string::npos);
  EXPECT_NE(FromShiftJis(Page("thumb0-j.html"))
                .find("alt=\"No.1\n撮影時刻: 2003年1月5日 8時3分9秒\nトリガー: 接点1\n"
                      "カメラ: カメラ1\nパン: 0.50\nチルト: 0.00\nズーム: 1.00\n明るさ: 明るめ\n"
                      "ファイル名: "),
            std::string::npos);
  EXPECT_NE(FromShiftJis(Page("allist-j.html")).find("各ページの先頭画像の撮影時刻です。<BR><BR>"),
            std::string::npos);
  EXPECT_NE(FromShiftJis(Page("thumb1-j.html")).find("スケジュール1"), std::string::npos);
}

TEST_F(Album, ADayGeneratedInTwoRunsEqualsOneRun) {
  auto snapshot = [this] {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(DayDir())) {
      files[e.path().filename().string()] = ReadFile(e.path().string());
    }
    return files;
  };
  for (int first : {150, 100, 1}) {
    SCOPED_TRACE(first);
    std::filesystem::remove_all(Dir());
    AddPictures(Dir(), 2003, 1, 5, 250);
    ASSERT_EQ(Generate(), AlbumResult::kOk);
    const auto once = snapshot();

    std::filesystem::remove_all(Dir());
    AddPictures(Dir(), 2003, 1, 5, first);
    ASSERT_EQ(Generate(), AlbumResult::kOk);
    AddPictures(Dir(), 2003, 1, 5, 250 - first, first);
    AlbumOutput r;
    ASSERT_EQ(Generate(&r, AlbumLanguage::kEnglish, /*fresh=*/false), AlbumResult::kOk);
    EXPECT_EQ(r.appended, 250 - first);
    EXPECT_EQ(r.total, 250);
    const auto twice = snapshot();
    ASSERT_EQ(twice.size(), once.size());
    for (const auto& [name, text] : once) {
      EXPECT_TRUE(twice.at(name) == text) << name;
    }
  }
  // An album that cannot be continued (its marker gone) is made afresh.
  test::WriteFile(DayDir() + "/list2-e.html", "damaged");
  test::WriteFile(DayDir() + "/list7-e.html", "stale");
  ASSERT_EQ(Generate(nullptr, AlbumLanguage::kEnglish, false), AlbumResult::kOk);
  EXPECT_FALSE(Exists("list7-e.html"));
  EXPECT_EQ(Page("workinfo.html"), "0 250");
}

TEST_F(Album, FailuresAndDeletion) {
  AlbumOutput r;
  EXPECT_EQ(Generate(&r), AlbumResult::kNoImageDir);  // no image directory
  CreateDirectoryChain(Dir());
  EXPECT_EQ(Generate(&r), AlbumResult::kNoIndex);  // no index for the day
  AddPictures(Dir(), 2003, 1, 5, 3);
  std::filesystem::remove_all(Dir() + "/html");
  test::WriteFile(Dir() + "/html", "a file in the way");
  EXPECT_EQ(Generate(&r), AlbumResult::kDirNotCreated);
  std::filesystem::remove(Dir() + "/html");

  // A fresh run replaces what an earlier album left.
  ASSERT_EQ(Generate(&r), AlbumResult::kOk);
  test::WriteFile(DayDir() + "/thumb9-e.html", "stale");
  ASSERT_EQ(Generate(&r), AlbumResult::kOk);
  EXPECT_FALSE(Exists("thumb9-e.html"));
  EXPECT_EQ(Page("workinfo.html"), "0 3");

  // A page that cannot be opened ends the run with failure.
  std::filesystem::remove(DayDir() + "/detail0-e.html");
  std::filesystem::create_directory(DayDir() + "/detail0-e.html");
  AddPictures(Dir(), 2003, 1, 5, 1, 3);
  EXPECT_EQ(Generate(&r, AlbumLanguage::kEnglish, /*fresh=*/false), AlbumResult::kWriteFailed);

  // Deleting one day's album, then all of them; a link in the album root is removed as a
  // link, never followed.
  const AlbumDate other{2003, 1, 6};
  AddPictures(Dir(), 2003, 1, 6, 1);
  AlbumRequest req;
  req.image_dir = Dir();
  req.date = other;
  ASSERT_EQ(GenerateAlbum(req, &r), AlbumResult::kOk);
  EXPECT_TRUE(DeleteDayAlbum(Dir(), kDay));
  EXPECT_FALSE(IsDirectory(DayDir()));
  EXPECT_TRUE(IsDirectory(AlbumDayDirectory(Dir(), other)));
  const std::string outside = env_.Path("outside");
  CreateDirectoryChain(outside);
  test::WriteFile(outside + "/keep", "x");
  std::filesystem::create_directory_symlink(outside, Dir() + "/html/link");
  EXPECT_TRUE(HasAlbums(Dir()));
  EXPECT_TRUE(DeleteAllAlbums(Dir()));
  EXPECT_FALSE(HasAlbums(Dir()));
  EXPECT_EQ(ReadFile(outside + "/keep"), "x");
  EXPECT_TRUE(FileExists(Dir() + "/info/2003/0105.idx"));  // the pictures' index stays
}

}  // namespace
}  // namespace pondrel::album
