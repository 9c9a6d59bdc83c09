// The day index readers on an arbitrary day file: the day reader, the plain lookup, the
// day-index cache and the catalogue must agree and never name a path outside the image
// directory.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "common/fs_util.h"
#include "imagestore/catalog.h"
#include "imagestore/image_index.h"

using namespace pondrel;

namespace {

const std::string& ImageDir() {
  static const std::string kDir = [] {
    char tmpl[] = "/tmp/pondrel-day-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    std::string d = tmpl;
    CreateDirectoryChain(d + "/info/2024");
    return d;
  }();
  return kDir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& image = ImageDir();
  const std::string info = InfoDirOf(image);
  {
    std::ofstream out(info + "/2024/0101.idx", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  auto reader = OpenDayInDirectory(image, 2024, 101, CatalogFilter{});
  if (!reader) std::abort();
  DayIndexCache cache(info);
  ImageRecordInfo rec;
  std::size_t seen = 0;
  while (reader->ReadImageRecord(&rec) >= 0) {
    ++seen;
    if (!IsValidPictureKey(rec.key)) std::abort();
    if (rec.jpg_path.rfind(image + "/image/", 0) != 0 ||
        rec.jpg_path.find("..") != std::string::npos)
      std::abort();
    // Records of another day may sit in this file; the lookups only see their own day.
    if (rec.key.compare(0, 8, "20240101") == 0) {
      if (ContainsImage(info, rec.key) != 1 || cache.Contains(rec.key) != 1) std::abort();
    }
  }
  if (seen > size / kIndexRecordSize) std::abort();
  auto cat = OpenCatalogForDirectory(image);
  if (!cat) std::abort();
  if (auto days = OpenYear(*cat, 2024, CatalogFilter{1, 1})) (void)days->Days();
  return 0;
}
