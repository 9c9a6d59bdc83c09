// What a download left in an image directory: the pictures below <image_dir>/image, counted
// and measured the same way by every module's tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pondrel::test {

// The ".jpg" files below <image_dir>/image (0 when there is no such directory).
int CountJpgs(const std::string& image_dir);
// Their sizes added up, and one by one (in directory order).
std::uint64_t JpgBytes(const std::string& image_dir);
std::vector<std::uint64_t> JpgSizes(const std::string& image_dir);
// Every regular file below <image_dir>/image added up, pictures or not.
std::uint64_t ImageBytes(const std::string& image_dir);

}  // namespace pondrel::test
