#include "taskview/image_list.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "common/fs_util.h"
#include "imagestore/catalog.h"
#include "servers/srvmgr.h"
#include "taskview/album/album_texts.h"
#include "taskview/messages.h"
#include "taskview/server_editor.h"

namespace pondrel::tasdek {
namespace {

// The environment lock is exclusive here; another program that holds it briefly (a server
// edit of the command line) is waited for, 20 tries 100 ms apart.
constexpr int kEnvLockIntervalMs = 100;
constexpr int kEnvLockAttempts = 20;

std::string Printf(const char* format, const std::string& arg) {
  const int n = std::snprintf(nullptr, 0, format, arg.c_str());
  if (n < 0) return {};
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), format, arg.c_str());
  out.resize(static_cast<std::size_t>(n));
  return out;
}

bool LoadProfiles(std::vector<ImageListServer>* out) {
  std::vector<CKVSrvInfo> profiles;
  if (LoadServerList(&profiles, kSrvMaskNameAndDir) != SrvResult::SRV_OK) return false;
  out->clear();
  for (const CKVSrvInfo& p : profiles) {
    out->push_back({p.GetId(), p.GetServerName(), p.GetImageDirectory()});
  }
  return true;
}

album::AlbumDate DateOf(const ImageListRow& row) { return {row.year, row.month, row.day}; }

}  // namespace

std::string ImageListRow::DateText() const {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d/%02d/%02d", year, month, day);
  return buf;
}

std::string ImageListRow::CountText() const { return std::to_string(count); }

bool ImageListSortMemory::NextDescending(int column) {
  if (column < 0 || column > 2) return false;
  const bool descending = descending_next_[column];
  descending_next_[column] = !descending;
  return descending;
}

ImageListSortMemory& ProcessSortMemory() {
  static ImageListSortMemory memory;
  return memory;
}

bool ListRecordedDays(const std::string& image_dir, std::vector<ImageListRow>* rows,
                      const std::function<void(int)>& progress) {
  rows->clear();
  try {
    auto catalog = OpenCatalogForDirectory(image_dir);
    if (!catalog) return false;
    int position = 0;
    const CatalogFilter any;
    for (int year; (year = catalog->NextYear(any)) >= 0;) {
      auto days = OpenYear(*catalog, year, any);
      if (!days) continue;
      for (int mmdd; (mmdd = days->NextDay()) >= 0;) {
        ImageListRow row;
        row.year = year;
        row.month = mmdd / 100;
        row.day = mmdd % 100;
        if (auto reader = OpenDay(*catalog, year, mmdd, any)) {
          while (reader->NextImage() >= 0) ++row.count;
        }
        rows->push_back(row);
        // A progress bar of 0-100 stepped by 5 wraps to its start past the end.
        position += 5;
        if (position > 100) position -= 100;
        if (progress) progress(position);
      }
    }
    if (progress) progress(0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool ParseRecordedDate(const std::string& text, int* year, int* month, int* day) {
  int y = 0, m = 0, d = 0, used = 0;
  const bool parsed =
      (std::sscanf(text.c_str(), "%4d/%2d/%2d%n", &y, &m, &d, &used) == 3 ||
       std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &m, &d, &used) == 3 ||
       (text.size() == 8 && std::sscanf(text.c_str(), "%4d%2d%2d%n", &y, &m, &d, &used) == 3)) &&
      static_cast<std::size_t>(used) == text.size();
  if (!parsed || y < 0 || m < 1 || m > 12 || d < 1 || d > 31) return false;
  *year = y;
  *month = m;
  *day = d;
  return true;
}

CImageList::CImageList(ImageListMode mode, ImageListSortMemory* sort) : mode_(mode), sort_(sort) {}

int CImageList::Open(const std::function<bool()>& service_running, std::string* message) {
  if (mode_ != ImageListMode::kDelete) return 0;
  if (service_running && service_running()) {
    *message = kMsgStopServiceToContinue;
    return 1;
  }
  if (!env_lock_.Lock(kEnvLockIntervalMs, kEnvLockAttempts)) {
    *message = kMsgMutexError;
    return 1;
  }
  return 0;
}

int CImageList::LoadServers(std::string* message) {
  servers_.clear();
  rows_.clear();
  selected_ = -1;
  if (!LoadProfiles(&servers_)) {
    *message = kMsgReadFailed;
    return 1;
  }
  if (!servers_.empty()) selected_ = 0;
  return 0;
}

void CImageList::SelectServer(int index, const std::function<void(int)>& progress) {
  rows_.clear();
  if (index < 0 || index >= static_cast<int>(servers_.size())) return;
  selected_ = index;
  ListRecordedDays(servers_[index].image_dir, &rows_, progress);
}

void CImageList::SortByColumn(int column) {
  if (column < 0 || column > 2) return;
  const bool descending = sort_->NextDescending(column);
  auto key_less = [column](const ImageListRow& a, const ImageListRow& b) {
    if (column == kColumnDate) {
      if (a.year != b.year) return a.year < b.year;
      if (a.month != b.month) return a.month < b.month;
      return a.day < b.day;
    }
    if (column == kColumnCount) return a.count < b.count;
    return false;  // the third column is empty in every row
  };
  std::stable_sort(rows_.begin(), rows_.end(), [&](const ImageListRow& a, const ImageListRow& b) {
    return descending ? key_less(b, a) : key_less(a, b);
  });
}

std::string CImageList::ButtonText() const {
  return mode_ == ImageListMode::kDelete ? kButtonDeleteImage : kButtonDisplayImage;
}

bool CImageList::ButtonEnabled(int selected_row) const {
  return !busy_ && selected_row >= 0 && selected_row < static_cast<int>(rows_.size());
}

bool CImageList::Question(int row, std::string* text) const {
  if (row < 0 || row >= static_cast<int>(rows_.size())) {
    *text = kMsgDateNotSelected;
    return false;
  }
  const std::string date = rows_[row].DateText();
  *text = Printf(mode_ == ImageListMode::kDelete ? kFmtAskDeleteImages : kFmtAskGenerateHtml, date);
  return true;
}

bool CImageList::CheckRow(int row, ImageListOutcome* out) const {
  if (row >= 0 && row < static_cast<int>(rows_.size()) && selected_ >= 0) return true;
  out->code = 1;
  out->message = kMsgDateNotSelected;
  return false;
}

ImageListOutcome CImageList::DeleteRow(int row) {
  ImageListOutcome out;
  if (!CheckRow(row, &out)) return out;
  const ImageListServer& server = servers_[selected_];
  const ImageListRow r = rows_[row];
  album::DeleteDayAlbum(server.image_dir, DateOf(r));
  if (DeleteDay(server.id, r.year, r.month * 100 + r.day) != ImageResult::kOk) {
    out.code = 1;
    out.message = kMsgReadFailed;
    return out;
  }
  rows_.erase(rows_.begin() + row);
  return out;
}

ImageListOutcome CImageList::GenerateRow(int row, const std::function<void(long, long)>& progress) {
  ImageListOutcome out;
  if (!CheckRow(row, &out)) return out;
  const ImageListServer& server = servers_[selected_];
  album::AlbumRequest req;
  req.image_dir = server.image_dir;
  req.server_name = server.name;
  req.date = DateOf(rows_[row]);
  req.language = album::LanguageOfTopPageName(album::kTopPageNameResource);
  req.expected_count = rows_[row].count;
  req.progress = progress;
  album::AlbumOutput result;
  const album::AlbumResult r = album::GenerateAlbum(req, &result);
  if (r != album::AlbumResult::kOk || result.appended < rows_[row].count ||
      !FileExists(result.top_page)) {
    out.code = 1;
    out.message = kMsgGenerateHtmlFailed;
    return out;
  }
  out.top_page = result.top_page;
  return out;
}

bool CAlbumCleanup::Load() {
  first_ = -1;
  if (!LoadProfiles(&servers_)) return false;
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    if (album::HasAlbums(servers_[i].image_dir)) {
      first_ = static_cast<int>(i);
      break;
    }
  }
  return true;
}

int CAlbumCleanup::DeleteAll() {
  int removed = 0;
  if (first_ < 0) return 0;
  for (std::size_t i = static_cast<std::size_t>(first_); i < servers_.size(); ++i) {
    if (album::HasAlbums(servers_[i].image_dir) && album::DeleteAllAlbums(servers_[i].image_dir))
      ++removed;
  }
  first_ = -1;
  return removed;
}

}  // namespace pondrel::tasdek
