#include "imagestore/image_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "common/fs_util.h"
#include "common/unique_fd.h"
#include "imagestore/picture_header.h"

namespace pondrel {
namespace {

// Time stamps of files are as coarse as the kernel's tick; a file read within this window of
// its last change may change again without changing its signature.
constexpr std::int64_t kRacyWindowNs = 20'000'000;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int Digits(std::string_view s) {
  int v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

std::string WithoutTrailingSlash(std::string_view dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
  return std::string(dir);
}

void PutLe16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v & 0xFF);
  p[1] = static_cast<unsigned char>(v >> 8);
}
std::uint16_t Le16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// Whether the 18-byte key field holds exactly `key`.
bool KeyMatches(const unsigned char* raw, std::string_view key) {
  return std::memcmp(raw, key.data(), key.size()) == 0 && raw[key.size()] == 0;
}

std::string DayPathOfKey(const std::string& info_dir, std::string_view key) {
  return DayIndexPath(info_dir, PictureKeyYear(key), PictureKeyDay(key));
}

// Reads whole records from `fd`, calling `visit(raw, offset)` until it returns true (stop)
// or a read gives fewer than 40 bytes. Returns the offset of the record it stopped at, or -1.
template <typename Visit>
off_t ScanRecords(int fd, Visit visit) {
  constexpr std::size_t kBatch = 1024;
  static thread_local unsigned char buf[kIndexRecordSize * kBatch];
  off_t offset = 0;
  std::size_t have = 0;
  for (;;) {
    ssize_t n = ::read(fd, buf + have, sizeof buf - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    have += static_cast<std::size_t>(n);
    std::size_t whole = have / kIndexRecordSize;
    for (std::size_t i = 0; i < whole; ++i) {
      if (visit(buf + i * kIndexRecordSize, offset)) return offset;
      offset += static_cast<off_t>(kIndexRecordSize);
    }
    std::size_t rest = have - whole * kIndexRecordSize;
    std::memmove(buf, buf + whole * kIndexRecordSize, rest);
    have = rest;
  }
}

bool TruncateTo(int fd, off_t size) {
  int rc;
  do {
    rc = ::ftruncate(fd, size);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

// Appends one record so that it is whole or not there at all. Appenders in every process
// take the day file's lock first, so the end found here stays the end; a short write (a full
// disk) is cut back, leaving the records after it aligned. A torn tail left by an older
// writer, a crash or a copy cut short is cut first: it costs that one record, not every
// record appended after it.
bool AppendRecord(int fd, const unsigned char raw[kIndexRecordSize]) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  int locked;
  do {
    locked = ::fcntl(fd, F_OFD_SETLKW, &lock);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  const off_t end = st.st_size - st.st_size % static_cast<off_t>(kIndexRecordSize);
  if (end != st.st_size && !TruncateTo(fd, end)) return false;
  // One write of the whole record, so that a reader in another process sees it whole.
  ssize_t n;
  do {
    n = ::pwrite(fd, raw, kIndexRecordSize, end);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(kIndexRecordSize)) return true;
  if (n > 0) TruncateTo(fd, end);
  return false;
}

}  // namespace

void EncodeIndexRecord(const ImageIndexRecord& rec, unsigned char out[kIndexRecordSize]) {
  std::memcpy(out, rec.key, sizeof rec.key);
  out[18] = rec.flag18;
  out[19] = rec.reserved19;
  out[20] = rec.flag20;
  out[21] = rec.flag21;
  out[22] = rec.trigger;
  out[23] = rec.camera;
  PutLe16(out + 24, rec.pan);
  PutLe16(out + 26, rec.tilt);
  PutLe16(out + 28, rec.zoom);
  PutLe16(out + 30, rec.brightness);
  PutLe16(out + 32, static_cast<std::uint16_t>(rec.record_time & 0xFFFF));
  PutLe16(out + 34, static_cast<std::uint16_t>(rec.record_time >> 16));
  PutLe16(out + 36, static_cast<std::uint16_t>(rec.zone_offset));
  PutLe16(out + 38, rec.extension);
}

void DecodeIndexRecord(const unsigned char in[kIndexRecordSize], ImageIndexRecord* rec) {
  std::memcpy(rec->key, in, sizeof rec->key);
  rec->flag18 = in[18];
  rec->reserved19 = in[19];
  rec->flag20 = in[20];
  rec->flag21 = in[21];
  rec->trigger = in[22];
  rec->camera = in[23];
  rec->pan = Le16(in + 24);
  rec->tilt = Le16(in + 26);
  rec->zoom = Le16(in + 28);
  rec->brightness = Le16(in + 30);
  rec->record_time =
      static_cast<std::uint32_t>(Le16(in + 32)) | (static_cast<std::uint32_t>(Le16(in + 34)) << 16);
  rec->zone_offset = static_cast<std::int16_t>(Le16(in + 36));
  rec->extension = Le16(in + 38);
}

bool IsValidPictureKey(std::string_view key) {
  if (key.size() != kPictureKeyLength || key[8] != '/') return false;
  for (std::size_t i = 0; i < kPictureKeyLength; ++i) {
    if (i != 8 && !IsDigit(key[i])) return false;
  }
  return true;
}

long PictureNumber(std::string_view key) {
  if (!IsValidPictureKey(key)) return -1;
  return static_cast<long>(Digits(key.substr(9, 8)));
}
int PictureKeyYear(std::string_view key) {
  return IsValidPictureKey(key) ? Digits(key.substr(0, 4)) : -1;
}
int PictureKeyDay(std::string_view key) {
  return IsValidPictureKey(key) ? Digits(key.substr(4, 4)) : -1;
}

std::string InfoDirOf(const std::string& image_dir) {
  return JoinPath(WithoutTrailingSlash(image_dir), "info");
}

std::string DayIndexPath(const std::string& info_dir, int year, int mmdd) {
  char tail[32];
  std::snprintf(tail, sizeof tail, "%4d/%04d.idx", year, mmdd);
  return JoinPath(WithoutTrailingSlash(info_dir), tail);
}

namespace {

// Opens (creates) the day file of `key` for appending, its year directory made first.
UniqueFd OpenDayForAppend(const std::string& info_dir, std::string_view key) {
  char year[16];
  std::snprintf(year, sizeof year, "%4d", PictureKeyYear(key));
  if (!CreateDirectoryChain(JoinPath(WithoutTrailingSlash(info_dir), year))) return UniqueFd();
  const std::string path = DayPathOfKey(info_dir, key);
  return UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, kIndexFileMode));
}

// The 40 bytes that file the picture with this header under `key`.
void EncodeRecordOf(std::string_view key, const PictureHeader& h,
                    unsigned char raw[kIndexRecordSize]) {
  ImageIndexRecord rec{};
  std::memcpy(rec.key, key.data(), key.size());
  rec.flag18 = 1;
  rec.flag20 = 1;
  rec.flag21 = 1;
  rec.trigger = h.trigger;
  rec.camera = h.camera;
  rec.pan = h.pan;
  rec.tilt = h.tilt;
  rec.zoom = h.zoom;
  rec.brightness = h.brightness;
  rec.record_time = h.record_time;
  rec.zone_offset = h.zone_offset;
  rec.extension = h.extension;
  EncodeIndexRecord(rec, raw);
}

}  // namespace

ImageResult AddImage(const std::string& info_dir, std::string_view key,
                     const std::string& picture_path) {
  if (!IsValidPictureKey(key)) return ImageResult::kBadKey;
  UniqueFd fd = OpenDayForAppend(info_dir, key);
  if (!fd) return ImageResult::kFileError;
  PictureHeader h;
  if (!ReadPictureHeader(picture_path, &h)) return ImageResult::kNotPicture;
  unsigned char raw[kIndexRecordSize];
  EncodeRecordOf(key, h, raw);
  return AppendRecord(fd.get(), raw) ? ImageResult::kOk : ImageResult::kFileError;
}

ImageResult AddImage(const std::string& info_dir, std::string_view key,
                     const PictureHeader& header) {
  if (!IsValidPictureKey(key)) return ImageResult::kBadKey;
  UniqueFd fd = OpenDayForAppend(info_dir, key);
  if (!fd) return ImageResult::kFileError;
  unsigned char raw[kIndexRecordSize];
  EncodeRecordOf(key, header, raw);
  return AppendRecord(fd.get(), raw) ? ImageResult::kOk : ImageResult::kFileError;
}

int ContainsImage(const std::string& info_dir, std::string_view key) {
  if (!IsValidPictureKey(key)) return 0;
  UniqueFd fd(::open(DayPathOfKey(info_dir, key).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return 0;
  return ScanRecords(fd.get(),
                     [&](const unsigned char* raw, off_t) { return KeyMatches(raw, key); }) >= 0
             ? 1
             : 0;
}

ImageResult RemoveImage(const std::string& info_dir, std::string_view key) {
  if (!IsValidPictureKey(key)) return ImageResult::kBadKey;
  UniqueFd fd(::open(DayPathOfKey(info_dir, key).c_str(), O_RDWR | O_CLOEXEC));
  if (!fd) return ImageResult::kFileError;
  off_t at =
      ScanRecords(fd.get(), [&](const unsigned char* raw, off_t) { return KeyMatches(raw, key); });
  if (at >= 0) {
    // Zeroed in place with one write: the file never shrinks.
    static const unsigned char kZero[kIndexRecordSize] = {};
    ssize_t n;
    do {
      n = ::pwrite(fd.get(), kZero, sizeof kZero, at);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof kZero)) return ImageResult::kFileError;
  }
  return ImageResult::kOk;
}

std::string ImagePath(const std::string& image_dir, std::string_view key) {
  if (!IsValidPictureKey(key)) return {};
  std::string tail = "image/";
  tail.append(key.substr(0, 4)).append("/").append(key.substr(4, 4)).append("/");
  tail.append(key.substr(9, 8)).append(".jpg");
  return JoinPath(WithoutTrailingSlash(image_dir), tail);
}

// ---- DayIndexCache ----

DayIndexCache::DayIndexCache(std::string info_dir) : info_dir_(std::move(info_dir)) {}

namespace {

void FillSignature(const struct stat& st, bool* exists, dev_t* dev, ino_t* ino, off_t* size,
                   std::int64_t* mtime_ns, std::int64_t* ctime_ns) {
  *exists = true;
  *dev = st.st_dev;
  *ino = st.st_ino;
  *size = st.st_size;
  *mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  *ctime_ns = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

}  // namespace

DayIndexCache::Signature DayIndexCache::StatFd(int fd) {
  Signature sig;
  struct stat st;
  if (::fstat(fd, &st) != 0) return sig;
  FillSignature(st, &sig.exists, &sig.dev, &sig.ino, &sig.size, &sig.mtime_ns, &sig.ctime_ns);
  return sig;
}

DayIndexCache::Signature DayIndexCache::Stat(const std::string& path) {
  Signature sig;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return sig;
  sig.exists = true;
  sig.dev = st.st_dev;
  sig.ino = st.st_ino;
  sig.size = st.st_size;
  sig.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  sig.ctime_ns = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return sig;
}

DayIndexCache::Day* DayIndexCache::Fresh(std::string_view key) {
  const std::string_view day_key = key.substr(0, 8);
  auto it = days_.find(day_key);
  if (it != days_.end() && !it->second.racy && Stat(it->second.path) == it->second.sig)
    return &it->second;
  try {
    Day fresh;
    fresh.path = it != days_.end() ? it->second.path : DayPathOfKey(info_dir_, key);
    const std::string& path = fresh.path;
    // Read until the file stays the same across the read (another process may be appending).
    for (int attempt = 0; attempt < 5; ++attempt) {
      fresh.keys.clear();
      fresh.sig = Signature{};
      fresh.racy = false;
      UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
      if (!fd) break;  // no file: nothing recorded for this day
      fresh.sig = Stat(path);
      struct timespec started;
      clock_gettime(CLOCK_REALTIME, &started);
      const std::int64_t started_ns =
          static_cast<std::int64_t>(started.tv_sec) * 1000000000 + started.tv_nsec;
      fresh.racy = started_ns - fresh.sig.mtime_ns < kRacyWindowNs;
      ++file_reads_;
      ScanRecords(fd.get(), [&](const unsigned char* raw, off_t) {
        if (raw[0] != 0) {
          std::size_t len = ::strnlen(reinterpret_cast<const char*>(raw), 18);
          ++fresh.keys[std::string(reinterpret_cast<const char*>(raw), len)];
        }
        return false;
      });
      if (Stat(path) == fresh.sig) break;
    }
    if (it == days_.end()) it = days_.emplace(std::string(day_key), Day{}).first;
    it->second = std::move(fresh);
    return &it->second;
  } catch (const std::bad_alloc&) {
    if (it != days_.end()) days_.erase(it);
    return nullptr;
  }
}

int DayIndexCache::Contains(std::string_view key) {
  if (!IsValidPictureKey(key)) return 0;
  Day* day = Fresh(key);
  if (!day) return ContainsImage(info_dir_, key);
  auto it = day->keys.find(key);
  return it != day->keys.end() && it->second > 0 ? 1 : 0;
}

ImageResult DayIndexCache::Add(std::string_view key, const std::string& picture_path) {
  if (!IsValidPictureKey(key)) return ImageResult::kBadKey;
  Day* day = Fresh(key);
  const Signature before = day ? day->sig : Signature{};
  ImageResult rc = AddImage(info_dir_, key, picture_path);
  const std::string day_key(key.substr(0, 8));
  if (rc != ImageResult::kOk || !day) {
    days_.erase(day_key);  // the file may have been created empty; read it again next time
    return rc;
  }
  KeepCurrent(day, key, before, Stat(day->path));
  return rc;
}

void DayIndexCache::KeepCurrent(Day* day, std::string_view key, const Signature& before,
                                const Signature& after) {
  const std::string day_key(key.substr(0, 8));
  const bool only_ours =
      after.exists && (!before.exists || (after.ino == before.ino && after.dev == before.dev)) &&
      after.size == (before.exists ? before.size : 0) + static_cast<off_t>(kIndexRecordSize);
  if (!only_ours) {
    days_.erase(day_key);
    return;
  }
  try {
    ++day->keys[std::string(key)];
    day->sig = after;
  } catch (const std::bad_alloc&) {
    days_.erase(day_key);
  }
}

int DayIndexCache::AppendFdFor(std::string_view key, const Day& day) {
  const std::string_view day_key = key.substr(0, 8);
  const bool same_file = day.sig.exists && append_.dev == day.sig.dev && append_.ino == day.sig.ino;
  if (append_.fd && append_.day_key == day_key && same_file) return append_.fd.get();
  append_.fd.reset();
  append_.day_key.assign(day_key);
  UniqueFd fd(::open(day.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, kIndexFileMode));
  if (!fd && errno == ENOENT) fd = OpenDayForAppend(info_dir_, key);  // a new year
  if (!fd) return -1;
  const Signature opened = StatFd(fd.get());
  append_.dev = opened.dev;
  append_.ino = opened.ino;
  append_.fd = std::move(fd);
  return append_.fd.get();
}

ImageResult DayIndexCache::Add(std::string_view key, const PictureHeader& header) {
  if (!IsValidPictureKey(key)) return ImageResult::kBadKey;
  const std::string day_key(key.substr(0, 8));
  Day* day = Fresh(key);
  if (!day) {
    append_.fd.reset();
    return AddImage(info_dir_, key, header);
  }
  const Signature before = day->sig;
  const int fd = AppendFdFor(key, *day);
  unsigned char raw[kIndexRecordSize];
  EncodeRecordOf(key, header, raw);
  if (fd < 0 || !AppendRecord(fd, raw)) {
    append_.fd.reset();
    days_.erase(day_key);  // the file may have been created empty; read it again next time
    return ImageResult::kFileError;
  }
  KeepCurrent(day, key, before, StatFd(fd));
  return ImageResult::kOk;
}

ImageResult DayIndexCache::Remove(std::string_view key) {
  if (!IsValidPictureKey(key)) return ImageResult::kBadKey;
  Day* day = Fresh(key);
  const Signature before = day ? day->sig : Signature{};
  ImageResult rc = RemoveImage(info_dir_, key);
  const std::string day_key(key.substr(0, 8));
  if (rc != ImageResult::kOk || !day) {
    days_.erase(day_key);
    return rc;
  }
  const Signature after = Stat(day->path);
  if (!after.exists || after.ino != before.ino || after.size != before.size) {
    days_.erase(day_key);
    return rc;
  }
  auto it = day->keys.find(key);
  if (it != day->keys.end() && --it->second <= 0) day->keys.erase(it);
  day->sig = after;
  return rc;
}

}  // namespace pondrel
