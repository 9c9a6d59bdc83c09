// The four download options of the Options dialog, read from the settings key once per run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pondrel::dl {

struct DownloadOptions {
  std::uint32_t limit_space_percent = 10;  // "DLLimitSpaceMB": minimum free space, % of the volume
  bool auto_delete = false;                // "DLImageAutomatic" = 1: delete old pictures for space
  std::uint32_t max_images_value = 10000;  // "DLDWImgFilesMax"
  bool limit_images = false;               // "DLLimitDWImgFiles" = 1

  // Pictures per run, 0 = no limit.
  std::uint32_t MaxImages() const { return limit_images ? max_images_value : 0; }
};

// The ranges the Options dialog allows. The registry file may hold anything.
inline constexpr std::uint32_t kLimitSpaceMin = 1, kLimitSpaceMax = 50;
inline constexpr std::uint32_t kMaxImagesMin = 1, kMaxImagesMax = 10000;

// Reads the options; a missing key or value, or one that is not a 32-bit number, keeps its
// default. A value outside its range is read as the default, and a line for the run log
// (kMsgOptionOutOfRange, result_codes.h) is added to `notes`.
DownloadOptions ReadDownloadOptions(std::vector<std::string>* notes = nullptr);

}  // namespace pondrel::dl
