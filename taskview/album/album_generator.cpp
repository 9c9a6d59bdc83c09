#include "taskview/album/album_generator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <new>

#include "common/fs_util.h"
#include "common/unique_fd.h"
#include "imagestore/catalog.h"
#include "taskview/album/album_html.h"

namespace pondrel::album {
namespace {

constexpr mode_t kPageMode = 0664;
constexpr char kEndMarker[] = "<!-- end -->\n";
constexpr char kWorkInfo[] = "workinfo.html";
// A workinfo count beyond any real day (a picture every hundredth of a second) is not trusted.
constexpr long kMaxPicturesPerDay = 8640000;
constexpr std::size_t kFlushSize = 64 * 1024;

// The Japanese pages are Shift JIS; without this a browser has to guess.
constexpr char kShiftJisMeta[] =
    "<META http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\">\n";

// The list page's script. Pages opened from files are isolated from each other in current
// browsers, so the list frame cannot set the view frame's location; it then posts the anchor
// to the view, whose own script (kViewScript) jumps there.
constexpr char kListHead[] =
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
constexpr char kViewScript[] =
    "<SCRIPT language=\"JavaScript\">\n"
    "if (window.addEventListener) window.addEventListener(\"message\", function(e){"
    " if (/^#IMAGE[0-9]+$/.test(e.data)) location.hash=e.data; });\n"
    "</SCRIPT>\n";

// One page file written by appending. Writes are gathered and flushed in large pieces; the
// first failure is kept and reported by Close.
class PageFile {
 public:
  PageFile() = default;
  PageFile(const PageFile&) = delete;
  PageFile& operator=(const PageFile&) = delete;
  ~PageFile() { Close(); }

  // Opens for appending; *created tells whether the file did not exist before.
  bool OpenAppend(const std::string& path, bool* created) {
    Close();
    failed_ = false;
    fd_.reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, kPageMode));
    *created = fd_.valid();
    if (!fd_ && errno == EEXIST) {
      fd_.reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    }
    return fd_.valid();
  }
  // Creates the file anew (an existing one is emptied).
  bool Create(const std::string& path) {
    Close();
    failed_ = false;
    fd_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kPageMode));
    return fd_.valid();
  }
  bool IsOpen() const { return fd_.valid(); }
  void Append(std::string_view text) {
    buffer_ += text;
    if (buffer_.size() >= kFlushSize) Flush();
  }
  std::string& Buffer() { return buffer_; }
  void Flush() {
    if (!buffer_.empty() && fd_ && !WriteAll(fd_.get(), buffer_)) failed_ = true;
    buffer_.clear();
  }
  // False when any write failed.
  bool Close() {
    if (!fd_) return !failed_;
    Flush();
    fd_.reset();
    return !failed_;
  }

 private:
  UniqueFd fd_;
  std::string buffer_;
  bool failed_ = false;
};

// The data of one picture as the pages show it.
struct AlbumEntry {
  std::string path;  // the picture file, "\" turned into "/"
  std::uint8_t trigger = 0, camera = 0;
  std::uint16_t brightness = 0;
  std::string pan, tilt, zoom;  // "" when not recorded
  struct tm when {};            // camera-local recording time
};

std::string AngleText(std::uint16_t raw) {
  return raw == 0 ? std::string() : Format("%.2f", (static_cast<int>(raw) - 18000) * 0.01);
}

AlbumEntry MakeEntry(const ImageRecordInfo& rec) {
  AlbumEntry e;
  e.path = rec.jpg_path;
  std::replace(e.path.begin(), e.path.end(), '\\', '/');
  e.trigger = rec.trigger;
  e.camera = rec.camera;
  e.brightness = rec.brightness;
  e.pan = AngleText(rec.pan);
  e.tilt = AngleText(rec.tilt);
  e.zoom = rec.zoom == 0 ? std::string() : Format("%.2f", rec.zoom * 0.01);
  // The camera's local time: its offset applied, then broken down by UTC rules, so the PC's
  // own time zone plays no part.
  const time_t t = static_cast<time_t>(static_cast<std::int64_t>(rec.record_time) +
                                       static_cast<std::int64_t>(rec.zone_offset) * 60);
  gmtime_r(&t, &e.when);
  return e;
}

int Year(const struct tm& t) { return t.tm_year + 1900; }
int Month(const struct tm& t) { return t.tm_mon + 1; }

class AlbumWriter {
 public:
  AlbumWriter(const AlbumRequest& req, std::string day_dir)
      : req_(req),
        day_dir_(std::move(day_dir)),
        japanese_(req.language == AlbumLanguage::kJapanese),
        letter_(LanguageLetter(req.language)),
        tx_(TextsFor(req.language)),
        name_(HtmlText(req.server_name)) {}

  // Reads workinfo.html of an earlier run and cuts its last list page and day index back to
  // where this run continues. False when there is nothing that can be continued.
  bool Resume(long index_pictures);
  // index0, top and the head of allist, each only when missing.
  bool WriteStart();
  bool AppendPicture(const AlbumEntry& e);
  bool Finish();

  long Count() const { return n_; }
  std::string PagePath(const char* stem, int page) const {
    return day_dir_ + "/" + Format("%s%d-%c.html", stem, page, letter_);
  }
  std::string PagePath(const char* stem) const {
    return day_dir_ + "/" + Format("%s-%c.html", stem, letter_);
  }

 private:
  void Meta(PageFile* f) const {
    if (japanese_) f->Append(kShiftJisMeta);
  }
  std::string PageLink(int page, int count, const char* text) const {
    return Format("<A href=\"index%d-%c.html\" target=\"stage\">", page, letter_) +
           Format(text, count) + "</A>\n";
  }
  bool WriteIndexPage(int page, int year, int month, int day);
  void CloseListPage(int page);
  bool OpenViewPages(int page);
  std::string TriggerText(std::uint8_t trigger) const;
  const char* BrightnessText(std::uint16_t brightness) const;
  std::string DetailEntry(const AlbumEntry& e, const std::string& url,
                          const std::string& path_text) const;
  std::string ThumbEntry(const AlbumEntry& e, const std::string& url,
                         const std::string& path_text) const;

  const AlbumRequest& req_;
  std::string day_dir_;
  bool japanese_;
  char letter_;
  const AlbumTexts& tx_;
  std::string name_;  // the server name, escaped
  long n_ = 0;
  int view_page_ = -1;
  PageFile detail_, thumb_, list_, allist_;
};

bool AlbumWriter::Resume(long index_pictures) {
  std::string info;
  if (!ReadWholeFile(day_dir_ + "/" + kWorkInfo, &info, 64)) return false;
  long reserved = -1, count = -1;
  char extra;
  if (std::sscanf(info.c_str(), "%ld %ld%c", &reserved, &count, &extra) != 2) return false;
  // An album of more pictures than the index holds was made from other pictures.
  if (count < 1 || count > kMaxPicturesPerDay || count > index_pictures) return false;
  const int last = static_cast<int>((count - 1) / kPicturesPerPage);
  const std::string list_path = PagePath("list", last);
  std::string list;
  if (!ReadWholeFile(list_path, &list)) return false;
  const std::size_t marker = list.rfind(kEndMarker);
  if (marker == std::string::npos) return false;
  // The day index was closed by the earlier finish; its closing line goes, so that the new
  // entries stay inside the page.
  const std::string allist_path = PagePath("allist");
  std::string allist;
  if (!ReadWholeFile(allist_path, &allist)) return false;
  constexpr std::string_view kHtmlEnd = "</HTML>\n";
  if (allist.size() >= kHtmlEnd.size() &&
      std::string_view(allist).substr(allist.size() - kHtmlEnd.size()) == kHtmlEnd) {
    if (::truncate(allist_path.c_str(), static_cast<off_t>(allist.size() - kHtmlEnd.size())) != 0)
      return false;
  }
  if (::truncate(list_path.c_str(), static_cast<off_t>(marker)) != 0) return false;
  n_ = count;
  return true;
}

bool AlbumWriter::WriteIndexPage(int page, int year, int month, int day) {
  PageFile f;
  if (!f.Create(PagePath("index", page))) return false;
  f.Append("<HTML>\n");
  Meta(&f);
  f.Append("<TITLE>" + name_ + Format(" %04d/%02d/%02d", year, month, day) + "</TITLE>\n");
  f.Append("<FRAMESET rows=\"25%,*\">\n");
  f.Append(Format("    <FRAME src=\"list%d-%c.html\" name=\"list\">\n", page, letter_));
  f.Append(Format("    <FRAME src=\"thumb%d-%c.html\" name=\"view\">\n", page, letter_));
  f.Append("</FRAMESET>\n");
  f.Append("</HTML>\n");
  return f.Close();
}

bool AlbumWriter::WriteStart() {
  const AlbumDate& d = req_.date;
  if (!FileExists(PagePath("index", 0)) && !WriteIndexPage(0, d.year, d.month, d.day)) return false;
  if (!FileExists(PagePath("top"))) {
    PageFile f;
    if (!f.Create(PagePath("top"))) return false;
    f.Append("<HTML>\n");
    Meta(&f);
    f.Append("<TITLE>" + name_ + Format(" %04d/%02d/%02d", d.year, d.month, d.day) + "</TITLE>\n");
    f.Append("<FRAMESET cols=\"23%,*\">\n");
    f.Append(Format("    <FRAME src=\"allist-%c.html\" name=\"all-list\">\n", letter_));
    f.Append(Format("    <FRAME src=\"index0-%c.html\" name=\"stage\">\n", letter_));
    f.Append("</FRAMESET>\n");
    f.Append("</HTML>\n");
    if (!f.Close()) return false;
  }
  bool created = false;
  if (!allist_.OpenAppend(PagePath("allist"), &created)) return false;
  if (created) {
    allist_.Append("<HTML>\n");
    Meta(&allist_);
    allist_.Append("<BR><BR>\n");
    allist_.Append("<CENTER>\n");
    allist_.Append(tx_.allist_sentence);
    allist_.Append("<BR><BR>\n");
    allist_.Append("<I>\n");
  }
  return true;
}

bool AlbumWriter::OpenViewPages(int page) {
  if (!detail_.Close() || !thumb_.Close()) return false;
  bool created = false;
  if (!detail_.OpenAppend(PagePath("detail", page), &created)) return false;
  if (created) {
    detail_.Append("<HTML>\n");
    Meta(&detail_);
    detail_.Append("<TITLE>" + name_ + "</TITLE>\n");
    detail_.Append(kViewScript);
    detail_.Append("<BODY>\n");
  }
  if (!thumb_.OpenAppend(PagePath("thumb", page), &created)) return false;
  if (created) {
    thumb_.Append("<HTML>\n");
    Meta(&thumb_);
    thumb_.Append(kViewScript);
    thumb_.Append("<BODY>\n");
  }
  view_page_ = page;
  return true;
}

std::string AlbumWriter::TriggerText(std::uint8_t trigger) const {
  if (trigger == 1 || trigger == 2) return Format(tx_.trigger_device, trigger);
  if (trigger >= 33 && trigger <= 36) return Format(tx_.trigger_schedule, trigger - 32);
  return "?";
}

const char* AlbumWriter::BrightnessText(std::uint16_t brightness) const {
  if (brightness == 1) return tx_.brightness_standard;
  if (brightness == 2) return tx_.brightness_brighter;
  return nullptr;
}

std::string AlbumWriter::DetailEntry(const AlbumEntry& e, const std::string& url,
                                     const std::string& path_text) const {
  const struct tm& w = e.when;
  std::string s = Format("<A name=\"IMAGE%ld\">\n", n_);
  const std::string number = Format("<FONT size=3>No.%03ld</FONT>", n_ + 1);
  s += japanese_ ? "<TABLE border=0>\n" + number : number + "<TABLE border=0>\n";
  s += "<TR>\n";
  s += "<TD valign=top><A href=\"" + url + "\" target=\"_blank\"><IMG src=\"" + url +
       Format("\" width=%d height=%d></A></TD>\n", 160, 120);
  s += "<TD valign=top><PRE>";
  s += Format(tx_.detail_date, Year(w), Month(w), w.tm_mday, w.tm_hour, w.tm_min, w.tm_sec);
  s += Format(tx_.detail_trigger, TriggerText(e.trigger).c_str());
  s += Format(tx_.detail_camera, Format(tx_.camera, e.camera).c_str());
  if (!e.pan.empty()) s += Format(tx_.detail_pan, e.pan.c_str());
  if (!e.tilt.empty()) s += Format(tx_.detail_tilt, e.tilt.c_str());
  if (!e.zoom.empty()) s += Format(tx_.detail_zoom, e.zoom.c_str());
  if (const char* b = BrightnessText(e.brightness)) s += Format(tx_.detail_brightness, b);
  s += Format(tx_.detail_file_name, path_text.c_str());
  s += "</PRE></TD>\n";
  s += "</TABLE>\n<P>\n";
  return s;
}

std::string AlbumWriter::ThumbEntry(const AlbumEntry& e, const std::string& url,
                                    const std::string& path_text) const {
  const struct tm& w = e.when;
  // The tooltip, as the design has it: without pan, tilt and zoom the camera text runs
  // straight into the brightness label.
  std::string tip = Format("No.%ld\n", n_ + 1);
  tip += tx_.tip_recorded;
  tip += Format(tx_.tip_date, Year(w), Month(w), w.tm_mday);
  tip += " ";
  tip += Format(tx_.tip_time, w.tm_hour, w.tm_min, w.tm_sec);
  tip += "\n";
  tip += tx_.tip_trigger + TriggerText(e.trigger);
  tip += tx_.tip_camera + Format(tx_.camera, e.camera);
  if (!e.pan.empty()) tip += Format(tx_.tip_pan, e.pan.c_str());
  if (!e.tilt.empty()) tip += Format(tx_.tip_tilt, e.tilt.c_str());
  if (!e.zoom.empty()) tip += Format(tx_.tip_zoom, e.zoom.c_str());
  if (const char* b = BrightnessText(e.brightness)) tip += std::string(tx_.tip_brightness) + b;
  tip += "\n";
  tip += Format(tx_.tip_file_name, path_text.c_str());
  std::string s = Format("<A name=\"IMAGE%ld\">\n", n_);
  s += "<A href=\"" + url + "\" target=\"_blank\">";
  s += "<IMG src=\"" + url + Format("\" width=%d height=%d alt=\"", 100, 75) + tip + "\"></A>\n";
  return s;
}

void AlbumWriter::CloseListPage(int page) {
  list_.Append("</SELECT>\n");
  if (page >= 1) {
    list_.Append(PageLink(page - 1, kPicturesPerPage, tx_.prev_pics));
    list_.Append("&nbsp;&nbsp;&nbsp;");
  }
  list_.Append(PageLink(page + 1, kPicturesPerPage, tx_.next_pics));
  list_.Append("</TD></TR></TABLE>\n");
  list_.Append("</FORM>\n");
  list_.Append("</BODY>\n");
}

bool AlbumWriter::AppendPicture(const AlbumEntry& e) {
  const int page = static_cast<int>(n_ / kPicturesPerPage);
  const bool first_of_page = n_ % kPicturesPerPage == 0;
  if (page != view_page_ && !OpenViewPages(page)) return false;
  if (!list_.IsOpen() && n_ > 0) {
    // A continued album: its cut last list page takes the next lines.
    bool created = false;
    if (!list_.OpenAppend(PagePath("list", static_cast<int>((n_ - 1) / kPicturesPerPage)),
                          &created))
      return false;
  }
  const std::string url = FileUrl(e.path);
  const std::string path_text = HtmlText(e.path);
  detail_.Append(DetailEntry(e, url, path_text));
  thumb_.Append(ThumbEntry(e, url, path_text));
  const struct tm& w = e.when;
  if (first_of_page && n_ > 0) {
    CloseListPage(page - 1);
    if (!list_.Close()) return false;
    if (!WriteIndexPage(page, Year(w), Month(w), w.tm_mday)) return false;
  }
  if (first_of_page) {
    if (!list_.Create(PagePath("list", page))) return false;
    list_.Append("<HEAD>\n");
    Meta(&list_);
    list_.Append(kListHead);
    list_.Append("<BODY>\n");
    list_.Append("<center><H2>" + std::string(tx_.heading_before) + name_ + tx_.heading_after +
                 "</H2></center>\n");
    list_.Append("<FORM NAME=\"listform\">\n");
    list_.Append("<TABLE width=\"100%\" border=0><TR><TD>");
    list_.Append(Format("<A HREF=\"thumb%d-%c.html\" target=\"view\">", page, letter_) +
                 tx_.thumbnail_view + "</A>");
    list_.Append(" ");
    list_.Append(Format("<A HREF=\"detail%d-%c.html\" target=\"view\">", page, letter_) +
                 tx_.detail_display + "</A>");
    list_.Append("</TD>\n");
    list_.Append("<TD align=right>");
    list_.Append(Format(tx_.recorded_on, Year(w), Month(w), w.tm_mday));
    list_.Append("<SELECT name=\"s1\" onChange=\"anc(this.form.s1);\">\n");
  }
  list_.Append(
      Format("<OPTION value=\"#IMAGE%ld\">%02d:%02d:%02d\n", n_, w.tm_hour, w.tm_min, w.tm_sec));
  if (first_of_page) {
    allist_.Append(Format("<A href=\"index%d-%c.html\" target=\"stage\">", page, letter_));
    allist_.Append(Format("%02d:%02d:%02d -</A><BR>\n", w.tm_hour, w.tm_min, w.tm_sec));
  }
  ++n_;
  return true;
}

bool AlbumWriter::Finish() {
  // (n - 1) / 100 with C's division: page 0 for an empty album as well.
  const int last = static_cast<int>((n_ - 1) / kPicturesPerPage);
  if (!list_.IsOpen()) {
    bool created = false;
    if (!list_.OpenAppend(PagePath("list", last), &created)) return false;
  }
  list_.Append(kEndMarker);
  list_.Append("</SELECT>\n");
  if (last != 0) {
    list_.Append(PageLink(last - 1, kPicturesPerPage, tx_.prev_pics));
    list_.Append("&nbsp;&nbsp;&nbsp;");
  }
  list_.Append("</TD></TR></TABLE>\n");
  list_.Append("</FORM>\n");
  list_.Append("</BODY>\n");
  allist_.Append("</HTML>\n");
  if (!list_.Close() || !allist_.Close() || !detail_.Close() || !thumb_.Close()) return false;
  PageFile info;
  if (!info.Create(day_dir_ + "/" + kWorkInfo)) return false;
  info.Append(Format("%d %ld", 0, n_));
  return info.Close();
}

// The pictures the day's index holds now.
long CountDayPictures(const std::string& image_dir, const AlbumDate& d) {
  auto reader = OpenDayInDirectory(image_dir, d.year, d.month * 100 + d.day, CatalogFilter{});
  if (!reader) return -1;
  long count = 0;
  while (reader->NextImage() >= 0) ++count;
  return count;
}

bool ValidDate(const AlbumDate& d) {
  return d.year >= 0 && d.year <= 9999 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
         d.day <= 31;
}

AlbumResult Generate(const AlbumRequest& req, AlbumOutput* result) {
  if (!ValidDate(req.date)) return AlbumResult::kNoIndex;
  const std::string day_dir = AlbumDayDirectory(req.image_dir, req.date);
  if (req.fresh) RemoveTree(day_dir);
  if (req.image_dir.empty() || !IsDirectory(req.image_dir)) return AlbumResult::kNoImageDir;
  const std::string root = AlbumRoot(req.image_dir);
  if (::mkdir(root.c_str(), 0775) != 0 && errno != EEXIST) return AlbumResult::kDirNotCreated;
  if (!IsDirectory(root)) return AlbumResult::kDirNotCreated;

  AlbumWriter writer(req, day_dir);
  if (!req.fresh && IsDirectory(day_dir)) {
    const long in_index = CountDayPictures(req.image_dir, req.date);
    // What cannot be continued is started afresh.
    if (!writer.Resume(in_index)) RemoveTree(day_dir);
  }
  if (::mkdir(day_dir.c_str(), 0775) != 0 && errno != EEXIST) return AlbumResult::kDirNotCreated;
  if (!IsDirectory(day_dir)) return AlbumResult::kDirNotCreated;
  result->top_page = writer.PagePath("top");
  if (!writer.WriteStart()) return AlbumResult::kWriteFailed;

  auto reader = OpenDayInDirectory(req.image_dir, req.date.year,
                                   req.date.month * 100 + req.date.day, CatalogFilter{});
  if (!reader) return AlbumResult::kNoIndex;
  // A continued album already holds the index's first pictures.
  for (long skip = writer.Count(); skip > 0; --skip) {
    if (reader->NextImage() < 0) break;
  }
  const long expected = req.expected_count;
  const long step = std::max(1L, (expected + 35) / 36);
  ImageRecordInfo rec;
  while (reader->ReadImageRecord(&rec) >= 0) {
    if (!writer.AppendPicture(MakeEntry(rec))) return AlbumResult::kWriteFailed;
    ++result->appended;
    result->total = writer.Count();
    if (req.progress && result->appended % step == 0) req.progress(result->appended, expected);
  }
  if (!writer.Finish()) return AlbumResult::kWriteFailed;
  result->total = writer.Count();
  return AlbumResult::kOk;
}

}  // namespace

AlbumResult GenerateAlbum(const AlbumRequest& request, AlbumOutput* output) {
  AlbumOutput local;
  AlbumOutput& r = output ? *output : local;
  r = AlbumOutput{};
  try {
    return Generate(request, &r);
  } catch (const std::bad_alloc&) {
    return AlbumResult::kWriteFailed;
  }
}

std::string AlbumRoot(const std::string& image_dir) { return JoinPath(image_dir, "html"); }

std::string AlbumDayDirectory(const std::string& image_dir, const AlbumDate& date) {
  return JoinPath(AlbumRoot(image_dir), Format("%04d%02d%02d", date.year, date.month, date.day));
}

bool DeleteDayAlbum(const std::string& image_dir, const AlbumDate& date) {
  return RemoveTree(AlbumDayDirectory(image_dir, date));
}

bool HasAlbums(const std::string& image_dir) { return IsDirectory(AlbumRoot(image_dir)); }

bool DeleteAllAlbums(const std::string& image_dir) { return RemoveTree(AlbumRoot(image_dir)); }

}  // namespace pondrel::album
