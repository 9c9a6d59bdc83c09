#include "imagestore/catalog.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/fs_util.h"
#include "servers/srvmgr.h"

namespace pondrel {
namespace {

bool AllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A year directory's name is exactly four decimal digits.
bool IsYearName(std::string_view name) { return name.size() == 4 && AllDigits(name); }
// A day index file's name is "MMDD.idx".
bool IsDayFileName(std::string_view name) {
  return name.size() == 8 && AllDigits(name.substr(0, 4)) && name.substr(4) == ".idx";
}

int FourDigits(std::string_view s) {
  return (s[0] - '0') * 1000 + (s[1] - '0') * 100 + (s[2] - '0') * 10 + (s[3] - '0');
}

void InsertSorted(std::vector<std::uint8_t>* v, std::uint8_t x) {
  auto it = std::lower_bound(v->begin(), v->end(), x);
  if (it == v->end() || *it != x) v->insert(it, x);
}

// Names in `dir` that `keep` accepts, with their kind checked by `want_dir`.
template <typename Keep>
bool ListNames(const std::string& dir, bool want_dir, Keep keep, std::vector<std::string>* out) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  while (struct dirent* e = ::readdir(d)) {
    std::string_view name(e->d_name);
    if (!keep(name)) continue;
    struct stat st;
    std::string full = dir + "/" + e->d_name;
    if (::stat(full.c_str(), &st) != 0) continue;
    if (want_dir ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) continue;
    out->emplace_back(name);
  }
  ::closedir(d);
  return true;
}

// Every non-deleted record of one day file (read in whole records; a short read ends it).
template <typename Visit>
void ForEachRecord(const std::string& path, Visit visit) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return;
  unsigned char buf[kIndexRecordSize * 256];
  std::size_t have = 0;
  for (;;) {
    ssize_t n = ::read(fd.get(), buf + have, sizeof buf - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    have += static_cast<std::size_t>(n);
    std::size_t whole = have / kIndexRecordSize;
    for (std::size_t i = 0; i < whole; ++i) {
      const unsigned char* raw = buf + i * kIndexRecordSize;
      if (IsDeletedRecord(raw)) continue;
      ImageIndexRecord rec;
      DecodeIndexRecord(raw, &rec);
      if (visit(rec)) return;
    }
    std::size_t rest = have - whole * kIndexRecordSize;
    std::memmove(buf, buf + whole * kIndexRecordSize, rest);
    have = rest;
  }
}

std::string YearDir(const std::string& info_dir, int year) {
  char name[16];
  std::snprintf(name, sizeof name, "%4d", year);
  return info_dir + name;
}

// The day files (MMDD) of one year directory within the catalogue's range; false when the
// directory cannot be read.
bool ListDays(const ImageCatalog& cat, int year, std::vector<int>* days) {
  std::vector<std::string> names;
  if (!ListNames(YearDir(cat.InfoDirectory(), year), false, IsDayFileName, &names)) return false;
  for (const std::string& n : names) {
    int mmdd = FourDigits(n);
    if (cat.InRange(year, mmdd)) days->push_back(mmdd);
  }
  std::sort(days->begin(), days->end());
  days->erase(std::unique(days->begin(), days->end()), days->end());
  return true;
}

// The image directory of a server, read from the profile store; "" when it cannot be read.
std::string ImageDirectoryOf(const Guid& server_id) {
  CKVSrvMgr mgr;
  if (!mgr.Init()) return {};
  CKVSrvInfo info;
  if (mgr.FindById(server_id, &info, kSrvMaskImageDirectory) != SrvResult::SRV_OK) return {};
  return info.GetImageDirectory();
}

bool IsLink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

void CameraTriggerLists::Add(std::uint8_t camera, std::uint8_t trigger) {
  InsertSorted(&triggers_by_camera[camera], trigger);
  InsertSorted(&cameras_by_trigger[trigger], camera);
}

bool CameraTriggerLists::HasMatch(const CatalogFilter& f) const {
  if (f.Any()) return !triggers_by_camera.empty();
  if (f.camera != 0) {
    auto it = triggers_by_camera.find(f.camera);
    if (it == triggers_by_camera.end()) return false;
    return f.trigger == 0 || std::binary_search(it->second.begin(), it->second.end(), f.trigger);
  }
  return cameras_by_trigger.count(f.trigger) != 0;
}

const CameraTriggerLists* ImageCatalog::ForYear(int year) const {
  auto it = by_year_.find(year);
  return it == by_year_.end() ? nullptr : &it->second;
}

bool ImageCatalog::InRange(int year, int mmdd) const {
  if (!has_range_) return true;
  if (year < range_.start.year || year > range_.end.year) return false;
  if (year == range_.start.year && mmdd < range_.start.month * 100 + range_.start.day) return false;
  if (year == range_.end.year && mmdd > range_.end.month * 100 + range_.end.day) return false;
  return true;
}

int ImageCatalog::NextYear(const CatalogFilter& filter) {
  while (year_cursor_ < years_.size()) {
    int year = years_[year_cursor_++];
    if (filter.Any()) return year;
    const CameraTriggerLists* lists = ForYear(year);
    if (lists && lists->HasMatch(filter)) return year;
  }
  return -1;
}

std::unique_ptr<ImageCatalog> OpenCatalogForDirectory(const std::string& image_dir,
                                                      const CatalogRange* range) {
  if (image_dir.empty()) return nullptr;
  std::unique_ptr<ImageCatalog> cat;
  try {
    cat.reset(new ImageCatalog);
    cat->image_dir_ = image_dir;
    cat->info_dir_ = image_dir;
    if (cat->info_dir_.back() != '/' && cat->info_dir_.back() != '\\') cat->info_dir_ += '/';
    cat->info_dir_ += "info/";
    if (range) {
      cat->has_range_ = true;
      cat->range_ = *range;
    }
    std::vector<std::string> names;
    ListNames(cat->info_dir_.substr(0, cat->info_dir_.size() - 1), true, IsYearName, &names);
    for (const std::string& n : names) {
      int year = FourDigits(n);
      if (range && (year < range->start.year || year > range->end.year)) continue;
      cat->years_.push_back(year);
    }
    std::sort(cat->years_.begin(), cat->years_.end());
    cat->years_.erase(std::unique(cat->years_.begin(), cat->years_.end()), cat->years_.end());
    for (int year : cat->years_) {
      CameraTriggerLists& lists = cat->by_year_[year];
      std::vector<int> days;
      ListDays(*cat, year, &days);
      for (int mmdd : days) {
        ForEachRecord(DayIndexPath(cat->info_dir_, year, mmdd), [&](const ImageIndexRecord& rec) {
          lists.Add(rec.camera, rec.trigger);
          cat->whole_.Add(rec.camera, rec.trigger);
          return false;
        });
      }
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return cat;
}

std::unique_ptr<ImageCatalog> OpenCatalog(const Guid& server_id, const CatalogRange* range) {
  std::string dir = ImageDirectoryOf(server_id);
  if (dir.empty()) return nullptr;
  return OpenCatalogForDirectory(dir, range);
}

std::unique_ptr<DayList> OpenYear(const ImageCatalog& catalog, int year,
                                  const CatalogFilter& filter) {
  try {
    std::vector<int> days;
    if (!ListDays(catalog, year, &days)) return nullptr;
    if (!filter.Any()) {
      std::vector<int> matching;
      for (int mmdd : days) {
        bool found = false;
        ForEachRecord(DayIndexPath(catalog.InfoDirectory(), year, mmdd),
                      [&](const ImageIndexRecord& rec) {
                        found = filter.Matches(rec.trigger, rec.camera);
                        return found;
                      });
        if (found) matching.push_back(mmdd);
      }
      days.swap(matching);
    }
    return std::make_unique<DayList>(std::move(days));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

bool DayReader::NextRaw(ImageIndexRecord* rec) {
  unsigned char raw[kIndexRecordSize];
  std::size_t got = 0;
  while (got < sizeof raw) {
    ssize_t n = ::read(fd_.get(), raw + got, sizeof raw - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  DecodeIndexRecord(raw, rec);
  return true;
}

long DayReader::NextImage() { return ReadImageRecord(nullptr); }

long DayReader::ReadImageRecord(ImageRecordInfo* out) {
  ImageIndexRecord rec;
  while (NextRaw(&rec)) {
    if (rec.key[0] == 0) continue;  // deleted
    std::string_view key(rec.key, ::strnlen(rec.key, sizeof rec.key));
    // A key that does not have the picture form names no file; it is passed over.
    if (!IsValidPictureKey(key)) continue;
    if (!filter_.Matches(rec.trigger, rec.camera)) continue;
    key_.assign(key);
    long number = PictureNumber(key);
    if (out) {
      out->number = number;
      out->key = key_;
      out->trigger = rec.trigger;
      out->camera = rec.camera;
      out->pan = rec.pan;
      out->tilt = rec.tilt;
      out->zoom = rec.zoom;
      out->brightness = rec.brightness;
      out->record_time = rec.record_time;
      out->zone_offset = rec.zone_offset;
      out->jpg_path = ImagePath(image_dir_, key);
    }
    return number;
  }
  return -1;
}

std::unique_ptr<DayReader> OpenDayInDirectory(const std::string& image_dir, int year, int mmdd,
                                              const CatalogFilter& filter) {
  if (image_dir.empty() || year < 0 || year > 9999 || mmdd < 0 || mmdd > 9999) return nullptr;
  UniqueFd fd(::open(DayIndexPath(InfoDirOf(image_dir), year, mmdd).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return nullptr;
  try {
    return std::make_unique<DayReader>(std::move(fd), image_dir, filter);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::unique_ptr<DayReader> OpenDay(const ImageCatalog& catalog, int year, int mmdd,
                                   const CatalogFilter& filter) {
  return OpenDayInDirectory(catalog.ImageDirectory(), year, mmdd, filter);
}

std::unique_ptr<DayReader> OpenDay(const Guid& server_id, int year, int mmdd,
                                   const CatalogFilter& filter) {
  std::string dir = ImageDirectoryOf(server_id);
  if (dir.empty()) return nullptr;
  return OpenDayInDirectory(dir, year, mmdd, filter);
}

ImageResult DeleteDayInDirectory(const std::string& image_dir, int year, int mmdd) {
  if (image_dir.empty() || year < 0 || year > 9999 || mmdd < 0 || mmdd > 9999)
    return ImageResult::kFileError;
  std::string base = image_dir;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  char year_name[16], day_name[16];
  std::snprintf(year_name, sizeof year_name, "%4d", year);
  std::snprintf(day_name, sizeof day_name, "%04d", mmdd);
  const std::string image = JoinPath(base, "image");
  const std::string image_year = JoinPath(image, year_name);
  const std::string image_day = JoinPath(image_year, day_name);
  const std::string info = InfoDirOf(image_dir);
  const std::string info_year = JoinPath(info, year_name);
  const std::string index = DayIndexPath(info, year, mmdd);
  // A day whose paths lead through a symbolic link is refused whole: removing one half (the
  // index) and not the other would leave pictures that no later deletion or free-space pass
  // can find. Below the day directory nothing is followed (RemoveTree removes links as links).
  for (const std::string* p : {&image, &image_year, &image_day, &info, &info_year, &index}) {
    if (IsLink(*p)) return ImageResult::kFileError;
  }
  // The index goes only after its pictures: a day that cannot be removed whole stays listed.
  if (!RemoveTree(image_day)) return ImageResult::kFileError;
  if (::unlink(index.c_str()) != 0 && errno != ENOENT) return ImageResult::kFileError;
  return ImageResult::kOk;
}

ImageResult DeleteDay(const Guid& server_id, int year, int mmdd) {
  std::string dir = ImageDirectoryOf(server_id);
  if (dir.empty()) return ImageResult::kFileError;
  return DeleteDayInDirectory(dir, year, mmdd);
}

}  // namespace pondrel
