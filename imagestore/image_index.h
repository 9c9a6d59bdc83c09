// The image directory of one server and its day index files.
//
//   <imageDirectory>/image/YYYY/MMDD/hhmmsscc.jpg   one picture
//   <imageDirectory>/info/YYYY/MMDD.idx             the index of one day: 40-byte records,
//                                                   appended in storing order, never shrunk
//
// A picture key is "YYYYMMDD/hhmmsscc" (17 characters, digits where digits belong); keys
// compare byte by byte. A key of any other form is refused by every call here before it
// can reach the file system.
//
// Paths are joined with "/"; an info or image directory may be given with or without a
// trailing "/". Nothing here writes a log line.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/unique_fd.h"
#include "imagestore/picture_header.h"

namespace pondrel {

inline constexpr std::size_t kPictureKeyLength = 17;
inline constexpr std::size_t kIndexRecordSize = 40;
// New index files and year directories: read and write for owner and group.
inline constexpr mode_t kIndexFileMode = 0660;

// One record of a day index file (little-endian on disk; a first key byte of 0 marks a
// deleted record).
struct ImageIndexRecord {
  char key[18];             // the picture key, zero-terminated, rest zero
  std::uint8_t flag18;      // always 1
  std::uint8_t reserved19;  // always 0
  std::uint8_t flag20;      // always 1
  std::uint8_t flag21;      // always 1
  std::uint8_t trigger;     // 1, 2 device input; 33..36 schedule 1..4
  std::uint8_t camera;
  std::uint16_t pan;  // hundredths of a degree + 18000; 0 = not recorded
  std::uint16_t tilt;
  std::uint16_t zoom;         // hundredths; 0 = not recorded
  std::uint16_t brightness;   // 1 standard, 2 brighter, other = not recorded
  std::uint32_t record_time;  // seconds since 1970-01-01 UTC
  std::int16_t zone_offset;   // minutes to add for the camera's local time
  std::uint16_t extension;    // header extension word
};
static_assert(sizeof(ImageIndexRecord) == kIndexRecordSize);

// The 40 on-disk bytes of a record and back (explicit little-endian).
void EncodeIndexRecord(const ImageIndexRecord& rec, unsigned char out[kIndexRecordSize]);
void DecodeIndexRecord(const unsigned char in[kIndexRecordSize], ImageIndexRecord* rec);
inline bool IsDeletedRecord(const unsigned char raw[kIndexRecordSize]) { return raw[0] == 0; }

// "YYYYMMDD/hhmmsscc": exactly 17 characters, digits at 0-7 and 9-16, "/" at 8.
bool IsValidPictureKey(std::string_view key);
// hhmmsscc as a number (hour * 1000000 + minute * 10000 + second * 100 + hundredths);
// -1 for an invalid key.
long PictureNumber(std::string_view key);
// Year (0-3) and MMDD (4-7) of a valid key; -1 otherwise.
int PictureKeyYear(std::string_view key);
int PictureKeyDay(std::string_view key);

// The result of filing, removing and deleting pictures in an image directory.
enum class [[nodiscard]] ImageResult : int{
    kOk = 0,
    kFileError = -1,   // a directory or index file could not be created, opened or removed
    kNotPicture = -2,  // the picture has no valid camera header (nothing written)
    kBadKey = -3,      // the key is not of the form YYYYMMDD/hhmmsscc
};

// Files the picture `picture_path` under `key` in "<info_dir>/YYYY/MMDD.idx": kOk appended;
// kFileError the year directory or index file could not be created or opened; kNotPicture;
// kBadKey.
ImageResult AddImage(const std::string& info_dir, std::string_view key,
                     const std::string& picture_path);
// The same with the picture's header already read (PictureHeaderOf, time-zone rule applied):
// kOk, kFileError or kBadKey.
ImageResult AddImage(const std::string& info_dir, std::string_view key,
                     const PictureHeader& header);
// 1 when a (non-deleted) record with this key exists in its day file; 0 when not, when the
// day has no index file, or for an invalid key. Reads the day file each time: a downloader
// asking about many pictures uses DayIndexCache instead.
int ContainsImage(const std::string& info_dir, std::string_view key);
// Zeroes the first record with this key in place (the file keeps its length): kOk done (also
// when there was none); kFileError the day file could not be opened; kBadKey.
ImageResult RemoveImage(const std::string& info_dir, std::string_view key);
// "<image_dir>/image/YYYY/MMDD/hhmmsscc.jpg"; "" for an invalid key.
std::string ImagePath(const std::string& image_dir, std::string_view key);
// "<image_dir>/info" and "<info_dir>/YYYY/MMDD.idx" (year printed "%4d", day "%04d").
std::string InfoDirOf(const std::string& image_dir);
std::string DayIndexPath(const std::string& info_dir, int year, int mmdd);

// Answers ContainsImage at memory speed for a downloader that asks about every picture of a
// server's list. Each day file is read once into a key set; the set is re-read when the
// file's size, modification time or inode changed underneath (another process appended,
// zeroed or deleted). AddImage and RemoveImage through this object keep the set current
// without re-reading. One instance per thread; results are those of the free functions.
class DayIndexCache {
 public:
  explicit DayIndexCache(std::string info_dir);
  const std::string& InfoDir() const { return info_dir_; }

  int Contains(std::string_view key);                                      // as ContainsImage
  ImageResult Add(std::string_view key, const std::string& picture_path);  // as AddImage
  // As AddImage with the header. The day file stays open for the next picture of the same
  // day, as long as the file under its name is the one held open.
  ImageResult Add(std::string_view key, const PictureHeader& header);
  ImageResult Remove(std::string_view key);  // as RemoveImage
  void Clear() {
    days_.clear();
    append_.fd.reset();
  }
  // How often a day file was (re-)read (for benchmarks and tests).
  std::size_t FileReads() const { return file_reads_; }

 private:
  struct Signature {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t mtime_ns = 0;
    std::int64_t ctime_ns = 0;
    friend bool operator==(const Signature&, const Signature&) = default;
  };
  // Lets the maps be asked with a string_view, without building a string per question.
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  template <typename V>
  using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;
  struct Day {
    std::string path;
    Signature sig;
    // Read while the file was still changing within the file system's time-stamp grain: a
    // later change in that grain would keep the signature, so the next question re-reads.
    bool racy = false;
    TextMap<int> keys;  // live records per key
  };
  // The day file held open for appending: which day and which file (device and inode).
  struct AppendFile {
    std::string day_key;
    UniqueFd fd;
    dev_t dev = 0;
    ino_t ino = 0;
  };
  Day* Fresh(std::string_view key);
  // After an append of `key`'s record: the set takes the key when only that record went in
  // (the file grew by one record, same file), else the day is read again next time.
  void KeepCurrent(Day* day, std::string_view key, const Signature& before, const Signature& after);
  static Signature Stat(const std::string& path);
  static Signature StatFd(int fd);
  // The open day file of `key`'s day, opened (its year directory made when missing) when
  // another day or another file was held; -1 when it cannot be opened.
  int AppendFdFor(std::string_view key, const Day& day);

  std::string info_dir_;
  TextMap<Day> days_;  // by "YYYYMMDD"
  AppendFile append_;
  std::size_t file_reads_ = 0;
};

}  // namespace pondrel
