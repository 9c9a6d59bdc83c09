// The pictures the simulated camera holds: a series of recording times at a fixed interval,
// each with its key ("YYYYMMDD/hhmmsscc") and its identifier (a serial number, never reused),
// removed again by deletion requests. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camsim/camera_time.h"
#include "camsim/picture_file.h"

namespace pondrel::camsim {

struct PictureSeries {
  CameraTime start;                 // recording time of the first picture (camera local time)
  std::int64_t interval_cs = 100;   // hundredths of a second between pictures
  std::size_t picture_size = 4096;  // file size in bytes (at least the smallest picture)
  std::int16_t zone_offset = 0;     // minutes east of UTC of the camera's clock
  std::uint16_t extension = 1;
  std::uint16_t width = 640;
  std::uint16_t height = 480;
  std::vector<std::uint8_t> cameras{1};    // cycled per picture
  std::vector<std::uint8_t> triggers{33};  // cycled per picture
  std::string id_prefix;                   // put before each serial number in identifiers
};

struct CamPicture {
  std::string id;   // what picture and delete requests name: id_prefix + serial number
  std::string key;  // "YYYYMMDD/hhmmsscc"
  PictureHeaderFields header;
  std::size_t size = 0;
  std::string file;  // set: served as it is instead of a file made from the header
};

// The file served for `p`, padded to `size` bytes (its own size when 0).
std::string PictureFileOf(const CamPicture& p, std::size_t size = 0);

class PictureStore {
 public:
  explicit PictureStore(PictureSeries series) : series_(std::move(series)) {}

  // Adds `count` pictures continuing the series; returns how many were added (fewer when the
  // series would leave four-digit years).
  int Add(int count);
  // Adds one picture the caller made, outside the series (its identifier and key as given).
  void Put(const std::string& key, const std::string& id, std::string file);
  // Pictures added later get this size.
  void SetPictureSize(std::size_t size);

  std::optional<CamPicture> Find(const std::string& id) const;
  std::vector<CamPicture> Snapshot() const;  // in recording order
  std::size_t Count() const;
  // Removes the pictures named by `ids`; returns how many were held.
  int Remove(const std::vector<std::string>& ids);
  void Clear();

 private:
  mutable std::mutex mu_;
  PictureSeries series_;
  std::vector<CamPicture> pictures_;
  std::int64_t added_ = 0;  // pictures ever added: the position in the series of the next one
};

}  // namespace pondrel::camsim
