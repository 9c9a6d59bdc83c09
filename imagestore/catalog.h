// The catalogue of one server's pictures, for browsing by year and day (Task View, albums)
// and for deleting whole days. It is built from the day index files below the server's
// "info" directory; the server is named by its profile identifier, and its image directory
// is read from the profile store.
//
// Year directories are recognised only when their name is exactly four decimal digits, day
// index files only when their name is "MMDD.idx" (eight characters, four digits first).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/guid.h"
#include "common/unique_fd.h"
#include "imagestore/image_index.h"

namespace pondrel {

struct CatalogDate {
  std::uint16_t year = 0;
  std::uint8_t month = 0;
  std::uint8_t day = 0;
};
// Limits the catalogue: years outside [start.year, end.year] are left out, and in the first
// and last year the days before the start day and after the end day.
struct CatalogRange {
  CatalogDate start;
  CatalogDate end;
};

// A record matches when (camera == 0 or camera equals) and (trigger == 0 or trigger equals).
struct CatalogFilter {
  std::uint8_t trigger = 0;
  std::uint8_t camera = 0;
  bool Any() const { return trigger == 0 && camera == 0; }
  bool Matches(std::uint8_t rec_trigger, std::uint8_t rec_camera) const {
    return (camera == 0 || camera == rec_camera) && (trigger == 0 || trigger == rec_trigger);
  }
};

// For each camera the ascending triggers that occur with it, and for each trigger the
// ascending cameras.
struct CameraTriggerLists {
  std::map<std::uint8_t, std::vector<std::uint8_t>> triggers_by_camera;
  std::map<std::uint8_t, std::vector<std::uint8_t>> cameras_by_trigger;
  void Add(std::uint8_t camera, std::uint8_t trigger);
  bool HasMatch(const CatalogFilter& f) const;
};

class ImageCatalog {
 public:
  const std::string& ImageDirectory() const { return image_dir_; }
  const std::string& InfoDirectory() const { return info_dir_; }  // with a trailing "/"
  const std::vector<int>& Years() const { return years_; }        // ascending
  const CameraTriggerLists& Whole() const { return whole_; }
  const CameraTriggerLists* ForYear(int year) const;  // null for an unknown year
  bool HasRange() const { return has_range_; }
  const CatalogRange& Range() const { return range_; }
  // Whether year/MMDD lies within the range (always true without one).
  bool InRange(int year, int mmdd) const;

  // The year cursor: NextYear returns the next year (ascending) that has records matching
  // the filter (every listed year when the filter is Any()), or -1. ResetYears restarts.
  int NextYear(const CatalogFilter& filter);
  void ResetYears() { year_cursor_ = 0; }

 private:
  friend std::unique_ptr<ImageCatalog> OpenCatalogForDirectory(const std::string&,
                                                               const CatalogRange*);
  std::string image_dir_, info_dir_;
  bool has_range_ = false;
  CatalogRange range_{};
  std::vector<int> years_;
  std::map<int, CameraTriggerLists> by_year_;
  CameraTriggerLists whole_;
  std::size_t year_cursor_ = 0;
};

// Opens the catalogue of the server `server_id` (its profile read with FindById), limited to
// `range` when given. Null when the profile cannot be read; a catalogue without years when
// the info directory is missing or empty.
std::unique_ptr<ImageCatalog> OpenCatalog(const Guid& server_id,
                                          const CatalogRange* range = nullptr);
// The same for an image directory given directly.
std::unique_ptr<ImageCatalog> OpenCatalogForDirectory(const std::string& image_dir,
                                                      const CatalogRange* range = nullptr);

// The days (MMDD, ascending, no duplicates) of one year.
class DayList {
 public:
  explicit DayList(std::vector<int> days) : days_(std::move(days)) {}
  int NextDay() { return pos_ < days_.size() ? days_[pos_++] : -1; }  // next MMDD, or -1
  const std::vector<int>& Days() const { return days_; }

 private:
  std::vector<int> days_;
  std::size_t pos_ = 0;
};

// The day index files of `year` within the catalogue's range; with a filter other than
// Any(), only days whose file holds at least one matching record. Null when the year
// directory cannot be read.
std::unique_ptr<DayList> OpenYear(const ImageCatalog& catalog, int year,
                                  const CatalogFilter& filter);

// One picture as ReadImageRecord gives it.
struct ImageRecordInfo {
  long number = -1;  // hhmmsscc as a number
  std::string key;   // "YYYYMMDD/hhmmsscc"
  std::uint8_t trigger = 0;
  std::uint8_t camera = 0;
  std::uint16_t pan = 0, tilt = 0, zoom = 0, brightness = 0;
  std::uint32_t record_time = 0;
  std::int16_t zone_offset = 0;
  std::string jpg_path;  // "<imageDirectory>/image/YYYY/MMDD/hhmmsscc.jpg"
};

// An open reader on one day's index file, which it keeps open until destroyed.
class DayReader {
 public:
  DayReader(UniqueFd fd, std::string image_dir, const CatalogFilter& filter)
      : fd_(std::move(fd)), image_dir_(std::move(image_dir)), filter_(filter) {}
  // The picture number of the next matching, non-deleted record in file order, or -1 at the
  // end (a short read ends the file). Records with an invalid key are skipped.
  long NextImage();
  // Like NextImage, and fills *out (key, fields and .jpg path).
  long ReadImageRecord(ImageRecordInfo* out);
  const std::string& Key() const { return key_; }  // key of the last record returned

 private:
  bool NextRaw(ImageIndexRecord* rec);
  UniqueFd fd_;
  std::string image_dir_;
  CatalogFilter filter_;
  std::string key_;
};

// Opens the index of year/MMDD of the server `server_id`. Null when the profile cannot be
// read or the file cannot be opened.
std::unique_ptr<DayReader> OpenDay(const Guid& server_id, int year, int mmdd,
                                   const CatalogFilter& filter);
std::unique_ptr<DayReader> OpenDay(const ImageCatalog& catalog, int year, int mmdd,
                                   const CatalogFilter& filter);
std::unique_ptr<DayReader> OpenDayInDirectory(const std::string& image_dir, int year, int mmdd,
                                              const CatalogFilter& filter);

// Removes "<imageDirectory>/image/YYYY/MMDD" with everything in it (symbolic links below it
// are removed, never followed), then "<imageDirectory>/info/YYYY/MMDD.idx". Year directories
// are left in place. kOk; kFileError when the profile cannot be read, when any of image,
// image/YYYY, image/YYYY/MMDD, info, info/YYYY or the index file is a symbolic link (nothing
// is removed), or when the pictures cannot all be removed (the index is then kept).
ImageResult DeleteDay(const Guid& server_id, int year, int mmdd);
ImageResult DeleteDayInDirectory(const std::string& image_dir, int year, int mmdd);

}  // namespace pondrel
