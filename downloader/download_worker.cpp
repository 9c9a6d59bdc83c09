#include "downloader/download_worker.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/fs_util.h"
#include "common/text_util.h"
#include "downloader/http_client.h"
#include "downloader/picture_list.h"
#include "downloader/progress_reporter.h"
#include "downloader/result_codes.h"
#include "downloader/run_context.h"
#include "imagestore/catalog.h"
#include "imagestore/image_index.h"

namespace pondrel::dl {
namespace {

constexpr char kStatusPath[] = "/-kvidb-/status";
constexpr char kListPath[] = "/-kvidb-/enum?type=list&limit=0";
constexpr char kPicturePath[] = "/-kvidb-/data?";
constexpr char kDeletePath[] = "/-kvidb-/rpdel?";
// Known pictures are skipped in runs; a run of skips pauses 4 ms at most every 50 ms.
constexpr int kSkipPauseMs = 4;
constexpr std::int64_t kSkipPauseEveryMs = 50;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// A picture that passed the free-space check may still end below the limit (the next
// picture's check then acts), but no body may eat more than half of the reserve.
std::uint64_t SpaceFloor(std::uint64_t need) { return need / 2; }

// A file error outside the HTTP client (D018, 2001).
struct WorkFileError {};

// One picture that may be removed for space.
struct OldImage {
  int year = 0;
  int day = 0;
  long number = 0;
  std::string key;
};

class Worker {
 public:
  explicit Worker(DownloadJob& job)
      : job_(job), ctx_(*job.context), index_(InfoDirOf(job.imageDirectory)) {}

  int Phase1();
  int Phase2();

 private:
  void Log(int level, const char* text) { ctx_.log.Write(level, text); }
  void Status(const std::string& text) { ctx_.progress->Status(text); }
  // Free space is kept "as last measured": a failed measurement leaves the figure alone.
  bool Measure(std::uint64_t* free_bytes, std::uint64_t* total = nullptr) {
    std::uint64_t f = 0, t = 0;
    const bool ok = ctx_.MeasureDisk(job_.imageDirectory, &f, &t);
    if (ok) *free_bytes = f;
    if (total) *total = ok ? t : 0;
    return ok;
  }
  void LogSpace(const char* format) {
    ctx_.log.Writef(kLogError, format, static_cast<long long>(free_ >> 20),
                    static_cast<long long>(need_ >> 20));
  }

  // What the free-space check decided for the current picture.
  enum class Space { kGo, kStop104, kAbort };
  Space CheckFreeSpace();
  void BuildOldImageList();
  bool RemoveOldImagesForSpace();
  bool SendDeleteBatch(bool in_loop);
  void EndOfPhase();

  DownloadJob& job_;
  RunContext& ctx_;
  // The image index of this server, one day file read at most once per run (kept current by
  // the additions and removals made through it).
  DayIndexCache index_;
  int result_ = 0;
  std::uint64_t need_ = kPhase1NeedBytes;
  std::uint64_t free_ = 0;
  int downloaded_ = 0;
  int deletedOnServer_ = 0;
  int deletionFailure_ = 0;
  bool loginFailureLogged_ = false;
  std::string batch_;
  int batchCount_ = 0;
  std::string latest_;
  std::vector<OldImage> oldImages_;
  std::size_t oldFront_ = 0;
  bool oldListBuilt_ = false;
  bool limitSet_ = false;
  OldImage limit_;
  int removedForSpace_ = 0;
  FilePtr imageList_;
};

// Makes <image_root>/YYYY/MMDD when missing; true when it is a directory afterwards.
bool MakeDayDirectory(const std::string& image_root, const std::string& year,
                      const std::string& day) {
  const std::string year_path = image_root + "/" + year;
  const std::string day_path = year_path + "/" + day;
  if ((::mkdir(year_path.c_str(), 0755) != 0 && errno != EEXIST) ||
      (::mkdir(day_path.c_str(), 0755) != 0 && errno != EEXIST)) {
    return false;
  }
  return IsDirectory(day_path);
}

int Worker::Phase1() {
  char status[kStatusBytes] = {};
  job_.targetFile.clear();
  const int r = HttpFetch(kStatusPath, job_, status, sizeof status);
  if (r != kResultOk) {
    result_ = r;
    if (r == kResultHttpUnauthorized) {
      Log(kLogError, kMsgLoginFailed);
    } else if (r == kResultHttpForbidden || r == kResultHttpNotFound ||
               r == kResultHttpOtherStatus) {
      Log(kLogError, job_.useProxy ? kMsgUnsupportedOrPort : kMsgUnsupported);
    }
  } else {
    const ServerStatus parsed = ParseServerStatus(status);
    const std::uint32_t state = parsed.state, count = parsed.count;
    ctx_.remaining.store(static_cast<long>(count));
    if (state == 2) {
      Log(kLogError, kMsgServerRebuilding);
      result_ = kResultServerRebuildingList;
    } else if (state == 3) {
      Log(kLogError, kMsgServerDeleting);
      result_ = kResultServerDeleting;
    } else if (state == 4) {
      Log(kLogError, kMsgServerNoStorage);
      result_ = kResultServerNoStorage;
    } else if (count == 0) {
      result_ = kResultNoPictures;
    } else {
      Status(kStatusCreatingList);
      std::uint64_t free_now = 0, total = 0;
      job_.bodySpaceFloor =
          Measure(&free_now, &total) ? SpaceFloor(total * job_.freeSpacePercent / 100) : 0;
      job_.targetFile = job_.listFile;
      result_ = HttpFetch(kListPath, job_);
      job_.targetFile.clear();
      if (result_ == kResultHttpForbidden || result_ == kResultHttpUnauthorized ||
          result_ == kResultHttpNotFound || result_ == kResultHttpOtherStatus) {
        Log(kLogError, kMsgCommunication);
      }
    }
  }
  if (result_ != kResultOk) {
    // A failed phase leaves no list behind for anyone to take as the server's.
    if (result_ != kResultNoPictures) ::unlink(job_.listFile.c_str());
    EndOfPhase();
  }
  return result_;
}

Worker::Space Worker::CheckFreeSpace() {
  Measure(&free_);
  if (free_ >= need_) return Space::kGo;
  if (!job_.autoDelete) {
    LogSpace(kMsgInsufficientSpace);
    return Space::kStop104;
  }
  ctx_.TouchActivity();
  if (!oldListBuilt_) BuildOldImageList();
  if (oldFront_ >= oldImages_.size()) {
    if (ctx_.abort.load()) {
      Log(kLogWarning, kMsgAborted);
      return Space::kAbort;
    }
    LogSpace(kMsgInsufficientSpace);
    return Space::kStop104;
  }
  ctx_.TouchActivity();
  if (RemoveOldImagesForSpace()) {
    ctx_.TouchActivity();
    return Space::kGo;
  }
  if (ctx_.abort.load()) {
    Log(kLogWarning, kMsgAborted);
    return Space::kAbort;
  }
  Measure(&free_);
  LogSpace(kMsgInsufficientSpace);
  return Space::kStop104;
}

// The pictures stored before this run, oldest first, up to the first picture of this run
// that was not already stored.
void Worker::BuildOldImageList() {
  oldListBuilt_ = true;
  oldImages_.clear();
  oldFront_ = 0;
  auto catalog = OpenCatalogForDirectory(job_.imageDirectory);
  if (!catalog) return;
  const CatalogFilter any;
  for (int year : catalog->Years()) {
    if (limitSet_ && year > limit_.year) break;
    auto days = OpenYear(*catalog, year, any);
    if (!days) continue;
    for (int day = days->NextDay(); day >= 0; day = days->NextDay()) {
      if (limitSet_ && year == limit_.year && day > limit_.day) break;
      auto reader = OpenDayInDirectory(job_.imageDirectory, year, day, any);
      if (!reader) continue;
      for (long number = reader->NextImage(); number >= 0; number = reader->NextImage()) {
        if (ctx_.abort.load()) {
          oldImages_.clear();
          return;
        }
        if (limitSet_ && year == limit_.year && day == limit_.day && number == limit_.number) {
          break;
        }
        oldImages_.push_back(OldImage{year, day, number, reader->Key()});
      }
    }
  }
  std::stable_sort(oldImages_.begin(), oldImages_.end(), [](const OldImage& a, const OldImage& b) {
    if (a.year != b.year) return a.year < b.year;
    if (a.day != b.day) return a.day < b.day;
    return a.number < b.number;
  });
}

// Removes pictures from the front of the old-image list until the free space reaches the
// need. The volume is measured again only when the running estimate says the shortfall is
// covered, or after every 100 removed pictures.
bool Worker::RemoveOldImagesForSpace() {
  Measure(&free_);
  if (free_ >= need_) return true;
  std::uint64_t shortfall = need_ - free_;
  const std::string image_root = JoinPath(job_.imageDirectory, "image");
  int removed_here = 0;
  auto shrink = [&shortfall](const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    if (::unlink(path.c_str()) != 0) return false;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    shortfall = size >= shortfall ? 0 : shortfall - size;
    return true;
  };
  while (oldFront_ < oldImages_.size()) {
    if (shortfall == 0 || (removed_here > 0 && removed_here % 100 == 0)) {
      Measure(&free_);
      if (free_ >= need_) return true;
      shortfall = need_ - free_;
    }
    if (ctx_.abort.load()) {
      Measure(&free_);
      return free_ >= need_;
    }
    const OldImage& e = oldImages_[oldFront_++];
    index_.Remove(e.key);
    char day_dir[64], base[96];
    std::snprintf(day_dir, sizeof day_dir, "/%04d/%04d", e.year, e.day);
    std::snprintf(base, sizeof base, "%s/%08ld", day_dir, e.number);
    if (shrink(image_root + base + ".jpg")) {
      ++removed_here;
      ++removedForSpace_;
    }
    shrink(image_root + base + ".rgb");
    shrink(image_root + base + ".luv");
    const bool last = oldFront_ >= oldImages_.size();
    const OldImage* next = last ? nullptr : &oldImages_[oldFront_];
    if (last || next->year != e.year || next->day != e.day) {
      ::rmdir((image_root + day_dir).c_str());
    }
    if (last || next->year != e.year) {
      char year_dir[32];
      std::snprintf(year_dir, sizeof year_dir, "/%04d", e.year);
      ::rmdir((image_root + year_dir).c_str());
    }
  }
  Measure(&free_);
  return free_ >= need_;
}

// Sends the pending deletion batch. In the loop a result other than 0 or 8003 ends the
// download (returns false).
bool Worker::SendDeleteBatch(bool in_loop) {
  Status(kStatusDeleting);
  std::string path = kDeletePath + batch_;
  path.pop_back();  // the final "&"
  job_.targetFile.clear();
  const int r = HttpFetch(path, job_);
  const int count = batchCount_;
  batch_.clear();
  batchCount_ = 0;
  if (r == kResultOk) {
    deletedOnServer_ += count;
  } else if (r == kResultHttpUnauthorized) {
    if (!loginFailureLogged_) {
      Log(kLogError, kMsgDeleteLoginFailed);
      loginFailureLogged_ = true;
    }
    deletionFailure_ = 1;
  } else if (r != kResultAborted) {
    deletionFailure_ = 2;
  }
  if (in_loop || result_ != kResultInsufficientSpace) result_ = r;
  return r == kResultOk || r == kResultHttpUnauthorized;
}

int Worker::Phase2() {
  std::uint64_t total = 0;
  if (Measure(&free_, &total) && total > 0) {
    need_ = total * job_.freeSpacePercent / 100;
  }
  job_.bodySpaceFloor = SpaceFloor(need_);
  const std::string path_list = JoinPath(job_.imageDirectory, "imagepath.lst");
  imageList_.reset(std::fopen(path_list.c_str(), "wb"));
  if (!imageList_) Log(kLogWarning, kMsgWorkFileD014);
  // Unbuffered, so that a line that cannot be written is noticed with its own picture.
  if (imageList_) std::setvbuf(imageList_.get(), nullptr, _IONBF, 0);

  try {
    FilePtr list(std::fopen(job_.listFile.c_str(), "rb"));
    if (!list) throw WorkFileError{};
    const std::string image_root = JoinPath(job_.imageDirectory, "image");
    std::string last_day_dir;
    int skip_counter = 0;
    std::int64_t last_pause_ms = GetClock().SteadyMs();
    bool flush = true;
    PictureListReader lines(list.get());
    for (;;) {
      std::string_view line;
      const int got = lines.Next(&line);
      if (got < 0) throw WorkFileError{};
      if (got == 0) break;
      PictureListEntry entry;
      if (!ParsePictureListLine(line, &entry)) continue;
      const std::string_view date = entry.key.substr(0, 8);
      const std::string_view time = entry.key.substr(9, 8);
      const std::string year(date.substr(0, 4)), day(date.substr(4, 4));

      const std::string day_dir = year + "/" + day + "/";
      const std::string day_path = image_root + "/" + day_dir;
      if (day_dir != last_day_dir) {
        last_day_dir = day_dir;
        if (!MakeDayDirectory(image_root, year, day)) Log(kLogError, kMsgNoWorkDirectory);
      }
      job_.targetFile = image_root + "/" + day_dir + std::string(time) + ".jpg";

      if (index_.Contains(entry.key) == 1) {
        ctx_.remaining.fetch_sub(1);
        if (ctx_.abort.load()) {
          Log(kLogWarning, kMsgAborted);
          result_ = kResultAborted;
          flush = false;
          break;
        }
        if (++skip_counter >= 6) {
          skip_counter = 0;
          const std::int64_t now = GetClock().SteadyMs();
          if (now - last_pause_ms >= kSkipPauseEveryMs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kSkipPauseMs));
            last_pause_ms = GetClock().SteadyMs();
          }
        }
        continue;
      }
      if (!oldListBuilt_ && !limitSet_) {
        limitSet_ = true;
        limit_ = OldImage{std::stoi(year), std::stoi(day), std::stol(std::string(time)),
                          std::string(entry.key)};
      }
      if (job_.maxImages != 0 && static_cast<std::uint32_t>(downloaded_) >= job_.maxImages) {
        break;
      }
      // The free-space policy applies to the pictures that are about to be stored. (Checked
      // before the index lookup, a volume at its limit would make the run delete old pictures
      // that the list still names, only to fetch them again, or stop before any new one.)
      const Space space = CheckFreeSpace();
      if (space == Space::kStop104) {
        result_ = kResultInsufficientSpace;
        break;
      }
      if (space == Space::kAbort) {
        result_ = kResultAborted;
        flush = false;
        break;
      }

      // Space freed for this picture may have taken the last old pictures of its own day,
      // and their emptied directory with them.
      if (!IsDirectory(day_path)) MakeDayDirectory(image_root, year, day);

      const std::string identifier = EncodeIdentifier(entry.identifier);
      result_ = HttpFetch(kPicturePath + identifier, job_);
      if (result_ == kResultHttpForbidden) {
        result_ = kResultOk;
        ctx_.remaining.fetch_sub(1);
        continue;
      }
      if (result_ != kResultOk) {
        if (result_ == kResultHttpUnauthorized || result_ == kResultHttpNotFound ||
            result_ == kResultHttpOtherStatus) {
          Log(kLogError, kMsgCommunication);
        }
        ::unlink(job_.targetFile.c_str());
        flush = false;
        break;
      }
      {
        FilePtr picture(std::fopen(job_.targetFile.c_str(), "rb"));
        if (!picture) {
          ctx_.remaining.fetch_sub(1);
          continue;
        }
        char head[5];
        if (std::fread(head, 1, sizeof head, picture.get()) == sizeof head &&
            std::memcmp(head, "error", 5) == 0) {
          picture.reset();
          ::unlink(job_.targetFile.c_str());
          ctx_.remaining.fetch_sub(1);
          continue;
        }
      }
      const int added = index_.Add(entry.key, job_.targetFile);
      if (added == kImageErrHeader || added == kImageErrKey) {
        ::unlink(job_.targetFile.c_str());
        ctx_.remaining.fetch_sub(1);
        continue;
      }
      if (added == kImageErrFile) {
        ctx_.log.Writef(kLogWarning, kMsgAddImageFailed, EscapeForLog(entry.key).c_str());
      }
      latest_ = year + day + std::string(time);
      ++downloaded_;
      const long left = ctx_.remaining.fetch_sub(1) - 1;
      char status[2048];
      std::snprintf(status, sizeof status, kStatusDownloaded, std::string(entry.key).c_str(), left);
      Status(status);
      if (imageList_) {
        const std::string row = std::string(date) + " " + job_.targetFile + "\r\n";
        if (std::fwrite(row.data(), 1, row.size(), imageList_.get()) != row.size()) {
          Log(kLogError, kMsgWorkFileD015);
        }
      }
      job_.targetFile.clear();
      if (job_.deleteOnServer) {
        batch_ += "iid=" + identifier + "&";
        if (++batchCount_ == kDeleteBatchSize && !SendDeleteBatch(true)) {
          flush = false;
          break;
        }
      }
    }
    if (flush && batchCount_ > 0) SendDeleteBatch(false);
  } catch (const WorkFileError&) {
    Log(kLogError, kMsgWorkFileD018);
    result_ = kResultWorkerFileError;
  } catch (const std::bad_alloc&) {
    Log(kLogError, kMsgNoMemory);
    result_ = kResultOutOfMemory;
  }
  job_.targetFile.clear();
  EndOfPhase();
  return result_;
}

void Worker::EndOfPhase() {
  if (removedForSpace_ > 0) ctx_.log.Writef(kLogInfo, kMsgOldImagesDeleted, removedForSpace_);
  std::string latest;
  if (!latest_.empty()) {
    std::string s = latest_;
    std::replace(s.begin(), s.end(), ' ', '0');
    s.resize(16, '0');
    latest = s.substr(0, 4) + "/" + s.substr(4, 2) + "/" + s.substr(6, 2) + " " + s.substr(8, 2) +
             ":" + s.substr(10, 2) + ":" + s.substr(12, 2) + ":" + s.substr(14, 2);
  }
  if (deletionFailure_ != 0) Log(kLogError, kMsgDeleteFailed);
  if (downloaded_ == 0) {
    Log(kLogInfo, kMsgCompletedNone);
  } else if (deletedOnServer_ == 0) {
    ctx_.log.Writef(kLogInfo, kMsgCompletedNoDelete, downloaded_, latest.c_str());
  } else {
    ctx_.log.Writef(kLogInfo, kMsgCompletedDeleted, downloaded_, deletedOnServer_, latest.c_str());
  }
  oldImages_.clear();
  oldImages_.shrink_to_fit();
  Measure(&free_);
  if (free_ < need_ * 110 / 100 && free_ >= need_) {
    ctx_.log.Writef(kLogWarning, kMsgLowSpace, static_cast<long long>(free_ >> 20),
                    static_cast<long long>(need_ >> 20));
  }
  imageList_.reset();
}

}  // namespace

int RunWorkerPhase(DownloadJob& job) {
  try {
    Worker worker(job);
    return job.phase == 1 ? worker.Phase1() : worker.Phase2();
  } catch (const std::bad_alloc&) {
    job.context->log.Write(kLogError, kMsgNoMemory);
    return kResultOutOfMemory;
  }
}

}  // namespace pondrel::dl
