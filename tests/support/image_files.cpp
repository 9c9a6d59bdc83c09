#include "tests/support/image_files.h"

#include <filesystem>

namespace pondrel::test {
namespace {

// Calls `visit` for each regular file below <image_dir>/image; a missing or unreadable
// directory simply has no files.
template <typename Visit>
void ForEachImageFile(const std::string& image_dir, Visit visit) {
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(image_dir + "/image", ec)) {
    if (e.is_regular_file(ec)) visit(e);
  }
}

bool IsJpg(const std::filesystem::directory_entry& e) { return e.path().extension() == ".jpg"; }

std::uint64_t SizeOf(const std::filesystem::directory_entry& e) {
  std::error_code ec;
  const std::uintmax_t size = e.file_size(ec);
  return ec ? 0 : size;
}

}  // namespace

int CountJpgs(const std::string& image_dir) {
  int n = 0;
  ForEachImageFile(image_dir, [&](const auto& e) { n += IsJpg(e) ? 1 : 0; });
  return n;
}

std::uint64_t JpgBytes(const std::string& image_dir) {
  std::uint64_t n = 0;
  ForEachImageFile(image_dir, [&](const auto& e) { n += IsJpg(e) ? SizeOf(e) : 0; });
  return n;
}

std::vector<std::uint64_t> JpgSizes(const std::string& image_dir) {
  std::vector<std::uint64_t> sizes;
  ForEachImageFile(image_dir, [&](const auto& e) {
    if (IsJpg(e)) sizes.push_back(SizeOf(e));
  });
  return sizes;
}

std::uint64_t ImageBytes(const std::string& image_dir) {
  std::uint64_t n = 0;
  ForEachImageFile(image_dir, [&](const auto& e) { n += SizeOf(e); });
  return n;
}

}  // namespace pondrel::test
