// The HTML album of one recorded day: static pages under "<imageDirectory>/html/YYYYMMDD"
// that show the day's pictures 100 to a page, as thumbnails and in detail, with a drop-down
// of the recording times and a day index of the pages.
//
// Files of a day directory (X is the variant letter, e or j):
//   top-X.html      frameset: day index (all-list) on the left, stage on the right
//   allist-X.html   one link per page, labelled with the time of the page's first picture
//   indexP-X.html   frameset of page P: list on top, view below
//   listP-X.html    page P's heading, view links, time drop-down, previous/next links
//   thumbP-X.html   page P's pictures as thumbnails
//   detailP-X.html  page P's pictures large, with their data
//   workinfo.html   "0 N": a reserved number and the number of pictures in the album
//
// The last list page ends with the marker "<!-- end -->" before its closing lines, so that a
// later run can cut the page there and continue the album where it stopped.
#pragma once

#include <functional>
#include <string>

#include "taskview/album/album_texts.h"

namespace pondrel::album {

inline constexpr int kPicturesPerPage = 100;

// What came of generating an album.
enum class [[nodiscard]] AlbumResult : int{
    kOk = 0,
    kNoImageDir = -2,     // the image directory does not exist
    kDirNotCreated = -3,  // "html" or the day directory not created
    kWriteFailed = -4,    // a page could not be opened or written
    kNoIndex = -5,        // the day's index file could not be opened
};

struct AlbumDate {
  int year = 0;
  int month = 0;
  int day = 0;
};

struct AlbumRequest {
  std::string image_dir;    // the server's image directory
  std::string server_name;  // the page title text
  AlbumDate date;
  AlbumLanguage language = AlbumLanguage::kEnglish;
  // Start from an empty day directory (as the Image List always does). Without it, an album
  // left by an earlier run is continued with the pictures the index gained since.
  bool fresh = true;
  // The picture count the caller expects (the Image List row's); the progress runs to it.
  long expected_count = 0;
  // Called with the number of pictures done every max(1, ceil(expected / 36)) pictures.
  std::function<void(long done, long expected)> progress;
};

// What an album run wrote.
struct AlbumOutput {
  long appended = 0;     // pictures appended by this run
  long total = 0;        // pictures in the album
  std::string top_page;  // the top page of the variant in the day directory
};

// Generates (or continues) the album of one day into `output` (may be null). Pages already
// written stay on disk after a failure.
AlbumResult GenerateAlbum(const AlbumRequest& request, AlbumOutput* output);

// "<image_dir>/html", the root of a server's albums.
std::string AlbumRoot(const std::string& image_dir);
// "<image_dir>/html/YYYYMMDD".
std::string AlbumDayDirectory(const std::string& image_dir, const AlbumDate& date);
// Removes a day's album (true when nothing of it is left, also when there was none).
bool DeleteDayAlbum(const std::string& image_dir, const AlbumDate& date);
// Whether the server has an album root, and its removal with everything in it.
bool HasAlbums(const std::string& image_dir);
bool DeleteAllAlbums(const std::string& image_dir);

}  // namespace pondrel::album
