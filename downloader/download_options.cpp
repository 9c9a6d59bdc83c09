#include "downloader/download_options.h"

#include <cstdio>

#include "common/registry.h"
#include "downloader/result_codes.h"

namespace pondrel::dl {
namespace {

// Reads one number; a value outside [min, max] keeps the default and is noted.
void ReadInRange(RegistryKey& key, const char* name, std::uint32_t min, std::uint32_t max,
                 std::uint32_t fallback, std::uint32_t* out, std::vector<std::string>* notes) {
  std::uint32_t value = 0;
  if (!key.ReadNumber(name, &value)) return;
  if (value >= min && value <= max) {
    *out = value;
    return;
  }
  *out = fallback;
  if (!notes) return;
  char text[256];
  std::snprintf(text, sizeof text, kMsgOptionOutOfRange, name, static_cast<unsigned long>(value),
                static_cast<unsigned long>(min), static_cast<unsigned long>(max),
                static_cast<unsigned long>(fallback));
  notes->emplace_back(text);
}

}  // namespace

DownloadOptions ReadDownloadOptions(std::vector<std::string>* notes) {
  DownloadOptions options;
  RegistryKey key(RegHive::kLocalMachine);
  if (!key.OpenRead(kSettingsKey)) return options;
  const DownloadOptions defaults;
  std::uint32_t value = 0;
  ReadInRange(key, "DLLimitSpaceMB", kLimitSpaceMin, kLimitSpaceMax, defaults.limit_space_percent,
              &options.limit_space_percent, notes);
  ReadInRange(key, "DLImageAutomatic", 0, 1, 0, &value, notes);
  options.auto_delete = value == 1;
  ReadInRange(key, "DLDWImgFilesMax", kMaxImagesMin, kMaxImagesMax, defaults.max_images_value,
              &options.max_images_value, notes);
  value = 0;
  ReadInRange(key, "DLLimitDWImgFiles", 0, 1, 0, &value, notes);
  options.limit_images = value == 1;
  return options;
}

}  // namespace pondrel::dl
