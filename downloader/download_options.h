// The four download options of the Options dialog, read from the settings key once per run.
#pragma once

#include <cstdint>

namespace pondrel::dl {

struct DownloadOptions {
  std::uint32_t limitSpacePercent = 10;  // "DLLimitSpaceMB": minimum free space, % of the volume
  bool autoDelete = false;               // "DLImageAutomatic" = 1: delete old pictures for space
  std::uint32_t maxImagesValue = 10000;  // "DLDWImgFilesMax"
  bool limitImages = false;              // "DLLimitDWImgFiles" = 1

  // Pictures per run, 0 = no limit.
  std::uint32_t MaxImages() const { return limitImages ? maxImagesValue : 0; }
};

// Reads the options; a missing key or value, or one that is not a 32-bit number, keeps its
// default.
DownloadOptions ReadDownloadOptions();

}  // namespace pondrel::dl
