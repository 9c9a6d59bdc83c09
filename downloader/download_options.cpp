#include "downloader/download_options.h"

#include "common/registry.h"

namespace pondrel::dl {

DownloadOptions ReadDownloadOptions() {
  DownloadOptions options;
  CKVRegKey key(RegHive::LocalMachine);
  if (!key.OpenRead(kSettingsKey)) return options;
  std::uint32_t value = 0;
  if (key.ReadNumber("DLLimitSpaceMB", &value)) options.limitSpacePercent = value;
  if (key.ReadNumber("DLImageAutomatic", &value)) options.autoDelete = value == 1;
  if (key.ReadNumber("DLDWImgFilesMax", &value)) options.maxImagesValue = value;
  if (key.ReadNumber("DLLimitDWImgFiles", &value)) options.limitImages = value == 1;
  return options;
}

}  // namespace pondrel::dl
