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
#include <optional>
#include <string>
#include <thread>
#include <utility>
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
#include "imagestore/picture_header.h"

namespace pondrel::dl {
namespace {

constexpr char kStatusPath[] = "/-kvidb-/status";
constexpr char kListPath[] = "/-kvidb-/enum?type=list&limit=0";
constexpr char kPicturePath[] = "/-kvidb-/data?";
constexpr char kDeletePath[] = "/-kvidb-/rpdel?";
// Known pictures are skipped in runs; a run of skips pauses 4 ms at most every 50 ms.
constexpr int kSkipPauseMs = 4;
constexpr std::int64_t kSkipPauseEveryMs = 50;
// The free-space figure before a picture is the last measurement less what this run stored
// since. The volume is measured again when that estimate comes within this much of the need
// (so that the rule is decided on a fresh figure at its limit), when the last measurement is
// this old, or after this many pictures (others may write to the volume too).
constexpr std::uint64_t kSpaceMargin = 32ull << 20;
constexpr std::int64_t kSpaceRefreshMs = 1000;
constexpr int kSpaceRefreshPictures = 100;
// What a stored file takes of the volume at most beyond its bytes (its last block, its
// index record and directory entry).
constexpr std::uint64_t kFileOverhead = 8192;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// A picture that passed the free-space check may still end below the limit (the next
// picture's check then acts), but no body may eat more than half of the reserve.
std::uint64_t SpaceFloor(std::uint64_t need) { return need / 2; }

// One picture that may be removed for space.
struct OldImage {
  int year = 0;
  int day = 0;
  long number = 0;
  std::string key;
};

// Why the picture loop of phase 2 ended. The phase's result is decided from this in one
// place (Worker::Phase2Result).
enum class LoopEnd {
  kListDone,       // every line handled
  kLimitReached,   // the per-run picture limit
  kNoSpace,        // the free-space rule stopped the run (D029)
  kAborted,        // the abort flag, seen between pictures (D003)
  kRequestFailed,  // a picture request failed: last_request_ holds its result
  kDeleteFailed,   // a deletion request failed: last_request_ holds its result
  kFileError,      // the picture list could not be read (D018)
  kNoMemory,       // out of memory (D010)
};
// A step's answer: empty = go on.
using StepEnd = std::optional<LoopEnd>;

// Ends that send the pending deletion batch before the phase ends; the others leave it.
bool FlushesBatch(LoopEnd end) {
  return end == LoopEnd::kListDone || end == LoopEnd::kLimitReached || end == LoopEnd::kNoSpace;
}

// The picture that a list line names.
struct ListedPicture {
  PictureListEntry entry;  // key and identifier, views into the line
  std::string_view date;   // YYYYMMDD
  std::string_view time;   // hhmmsscc
};

// What the fetch step brought: the picture's first bytes and its size, or a refusal (403).
struct FetchedPicture {
  bool refused = false;
  char head[kPictureHeaderSize] = {};
  BodyFacts body;
};

class Worker {
 public:
  explicit Worker(DownloadJob& job)
      : job_(job),
        ctx_(*job.context),
        index_(InfoDirOf(job.image_directory)),
        image_root_(JoinPath(job.image_directory, "image")) {
    if (!job_.session) job_.session = std::make_shared<HttpSession>();
  }

  RunResult Phase1();
  RunResult Phase2();

 private:
  void Log(int level, const char* text) { ctx_.log.Write(level, text); }
  void Status(const std::string& text) { ctx_.progress->Status(text); }

  RunResult FetchList();

  // Phase 2: the loop and its steps, in the order a picture meets them.
  void BeginPhase2();
  LoopEnd PictureLoop();
  StepEnd HandleLine(std::string_view line);
  bool MakeDayDirectory(std::string_view date);                              // day directory
  StepEnd SkipKnownPicture();                                                // known picture
  StepEnd ReadyForNewPicture(const ListedPicture& p);                        // limit, space
  StepEnd FetchPicture(const std::string& identifier, FetchedPicture* out);  // fetch
  bool StorePicture(const ListedPicture& p, const FetchedPicture& fetched);  // store
  StepEnd QueueDeletion(const std::string& identifier);                      // delete queue
  void FlushDeletions(LoopEnd end);
  RunResult SendDeleteBatch();
  RunResult Phase2Result(LoopEnd end) const;

  // The free-space policy.
  bool Measure(std::uint64_t* free_bytes, std::uint64_t* total = nullptr);
  void RefreshFreeSpace();
  void CountStored(std::uint64_t bytes) {
    stored_since_measure_ += bytes + kFileOverhead;
    ++pictures_since_measure_;
  }
  void LogSpace(const char* format) {
    ctx_.log.Writef(kLogError, format, static_cast<long long>(free_ >> 20),
                    static_cast<long long>(need_ >> 20));
  }
  StepEnd CheckFreeSpace();
  void BuildOldImageList();
  bool RemoveOldImagesForSpace();
  bool RemoveOldImage(const OldImage& e, std::uint64_t* shortfall);
  void EndOfPhase();

  DownloadJob& job_;
  RunContext& ctx_;
  // The image index of this server, one day file read at most once per run (kept current by
  // the additions and removals made through it).
  DayIndexCache index_;
  const std::string image_root_;
  std::string last_date_;  // YYYYMMDD of the day directory made last
  int skip_counter_ = 0;
  std::int64_t last_pause_ms_ = 0;

  // The result of the last picture or deletion request (a picture passed over counts as 0).
  RunResult last_request_ = RunResult::kOk;
  std::uint64_t need_ = kPhase1NeedBytes;
  std::uint64_t free_ = 0;
  std::int64_t measured_at_ms_ = -1;        // when free_ was measured; -1 = not yet
  std::uint64_t stored_since_measure_ = 0;  // bytes this run stored since
  int pictures_since_measure_ = 0;
  bool directories_removed_ = false;  // removing old pictures emptied directories
  int downloaded_ = 0;
  int deleted_on_server_ = 0;
  int deletion_failure_ = 0;
  bool login_failure_logged_ = false;
  std::string batch_;
  int batch_count_ = 0;
  std::string latest_;
  std::vector<OldImage> old_images_;
  std::size_t old_front_ = 0;
  bool old_list_built_ = false;
  bool limit_set_ = false;
  OldImage limit_;
  int removed_for_space_ = 0;
  FilePtr image_list_;
};

// ---- phase 1 ----------------------------------------------------------------------------

RunResult Worker::Phase1() {
  char status[kStatusBytes] = {};
  job_.target_file.clear();
  RunResult result = HttpFetch(kStatusPath, job_, status, sizeof status);
  if (result == RunResult::kHttpUnauthorized) {
    Log(kLogError, kMsgLoginFailed);
  } else if (result == RunResult::kHttpForbidden || result == RunResult::kHttpNotFound ||
             result == RunResult::kHttpOtherStatus) {
    Log(kLogError, job_.use_proxy ? kMsgUnsupportedOrPort : kMsgUnsupported);
  } else if (result == RunResult::kOk) {
    const ServerStatus parsed = ParseServerStatus(status);
    ctx_.remaining.store(static_cast<long>(parsed.count));
    if (parsed.state == 2) {
      Log(kLogError, kMsgServerRebuilding);
      result = RunResult::kServerRebuildingList;
    } else if (parsed.state == 3) {
      Log(kLogError, kMsgServerDeleting);
      result = RunResult::kServerDeleting;
    } else if (parsed.state == 4) {
      Log(kLogError, kMsgServerNoStorage);
      result = RunResult::kServerNoStorage;
    } else {
      result = parsed.count == 0 ? RunResult::kNoPictures : FetchList();
    }
  }
  if (result != RunResult::kOk) {
    // A failed phase leaves no list behind for anyone to take as the server's.
    if (result != RunResult::kNoPictures) ::unlink(job_.list_file.c_str());
    EndOfPhase();
  }
  return result;
}

// Fetches the picture list into its file.
RunResult Worker::FetchList() {
  Status(kStatusCreatingList);
  std::uint64_t free_now = 0, total = 0;
  job_.body_space_floor =
      Measure(&free_now, &total) ? SpaceFloor(total * job_.free_space_percent / 100) : 0;
  job_.target_file = job_.list_file;
  const RunResult result = HttpFetch(kListPath, job_);
  job_.target_file.clear();
  if (result == RunResult::kHttpForbidden || result == RunResult::kHttpUnauthorized ||
      result == RunResult::kHttpNotFound || result == RunResult::kHttpOtherStatus) {
    Log(kLogError, kMsgCommunication);
  }
  return result;
}

// ---- phase 2 ----------------------------------------------------------------------------

RunResult Worker::Phase2() {
  LoopEnd end = LoopEnd::kListDone;
  try {
    BeginPhase2();
    end = PictureLoop();
    FlushDeletions(end);
  } catch (const std::bad_alloc&) {
    Log(kLogError, kMsgNoMemory);
    end = LoopEnd::kNoMemory;
  }
  job_.target_file.clear();
  const RunResult result = Phase2Result(end);
  EndOfPhase();
  return result;
}

// The one place that decides what phase 2 returns.
RunResult Worker::Phase2Result(LoopEnd end) const {
  switch (end) {
    case LoopEnd::kAborted: return RunResult::kAborted;
    case LoopEnd::kNoSpace:
      // Whatever the flushed batch answered: the run stopped for want of space.
      return RunResult::kInsufficientSpace;
    case LoopEnd::kFileError: return RunResult::kWorkerFileError;
    case LoopEnd::kNoMemory: return RunResult::kOutOfMemory;
    case LoopEnd::kListDone:
    case LoopEnd::kLimitReached:
    case LoopEnd::kRequestFailed:
    case LoopEnd::kDeleteFailed: break;
  }
  return last_request_;
}

// The need from the volume's size, the body floor, and a new imagepath.lst.
void Worker::BeginPhase2() {
  std::uint64_t total = 0;
  if (Measure(&free_, &total) && total > 0) need_ = total * job_.free_space_percent / 100;
  job_.body_space_floor = SpaceFloor(need_);
  const std::string path_list = JoinPath(job_.image_directory, "imagepath.lst");
  image_list_.reset(std::fopen(path_list.c_str(), "wb"));
  if (!image_list_) Log(kLogWarning, kMsgWorkFileD014);
  // Unbuffered, so that a line that cannot be written is noticed with its own picture.
  if (image_list_) std::setvbuf(image_list_.get(), nullptr, _IONBF, 0);
}

LoopEnd Worker::PictureLoop() {
  FilePtr list(std::fopen(job_.list_file.c_str(), "rb"));
  int got = list ? 1 : -1;
  last_pause_ms_ = GetClock().SteadyMs();
  PictureListReader lines(list.get());
  while (got > 0) {
    std::string_view line;
    got = lines.Next(&line);
    if (got <= 0) break;
    if (const StepEnd end = HandleLine(line)) return *end;
  }
  if (got == 0) return LoopEnd::kListDone;
  Log(kLogError, kMsgWorkFileD018);
  return LoopEnd::kFileError;
}

// One line of the list, through the steps its picture needs.
StepEnd Worker::HandleLine(std::string_view line) {
  ListedPicture p;
  if (!ParsePictureListLine(line, &p.entry)) return std::nullopt;
  p.date = p.entry.key.substr(0, 8);
  p.time = p.entry.key.substr(9, 8);
  if (p.date != last_date_) {
    last_date_.assign(p.date);
    if (!MakeDayDirectory(p.date)) Log(kLogError, kMsgNoWorkDirectory);
  }
  if (index_.Contains(p.entry.key) == 1) return SkipKnownPicture();
  if (const StepEnd end = ReadyForNewPicture(p)) return end;
  // Space freed for this picture may have taken the last old pictures of its own day, and
  // their emptied directory with them.
  if (std::exchange(directories_removed_, false)) MakeDayDirectory(p.date);
  job_.target_file = image_root_ + "/" + std::string(p.date.substr(0, 4)) + "/" +
                     std::string(p.date.substr(4, 4)) + "/" + std::string(p.time) + ".jpg";
  const std::string identifier = EncodeIdentifier(p.entry.identifier);
  FetchedPicture fetched;
  if (const StepEnd end = FetchPicture(identifier, &fetched)) return end;
  const bool stored = !fetched.refused && StorePicture(p, fetched);
  job_.target_file.clear();
  if (!stored) ctx_.remaining.fetch_sub(1);
  return stored ? QueueDeletion(identifier) : std::nullopt;
}

// Makes <image root>/YYYY/MMDD when missing; true when it is a directory afterwards. A
// picture whose directory cannot be made cannot be stored: its request says so (D018).
bool Worker::MakeDayDirectory(std::string_view date) {
  const std::string year_path = image_root_ + "/" + std::string(date.substr(0, 4));
  const std::string day_path = year_path + "/" + std::string(date.substr(4, 4));
  return (::mkdir(year_path.c_str(), 0755) == 0 || errno == EEXIST) &&
         (::mkdir(day_path.c_str(), 0755) == 0 || errno == EEXIST) && IsDirectory(day_path);
}

// A picture the index holds already: counted and passed over, with a short pause after
// every sixth at most every 50 ms, so that long runs of them leave the machine to others.
StepEnd Worker::SkipKnownPicture() {
  ctx_.remaining.fetch_sub(1);
  if (ctx_.abort.load()) {
    Log(kLogWarning, kMsgAborted);
    return LoopEnd::kAborted;
  }
  if (++skip_counter_ >= 6) {
    skip_counter_ = 0;
    if (GetClock().SteadyMs() - last_pause_ms_ >= kSkipPauseEveryMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kSkipPauseMs));
      last_pause_ms_ = GetClock().SteadyMs();
    }
  }
  return std::nullopt;
}

// The first new picture bounds the old pictures that may make room. Then the per-run limit
// and the free-space policy, which apply only to pictures about to be stored: checked before
// the index lookup, a volume at its limit would make the run delete old pictures that the
// list still names, only to fetch them again, or stop before any new one.
StepEnd Worker::ReadyForNewPicture(const ListedPicture& p) {
  if (!old_list_built_ && !limit_set_) {
    limit_set_ = true;
    limit_ = OldImage{PictureKeyYear(p.entry.key), PictureKeyDay(p.entry.key),
                      PictureNumber(p.entry.key), std::string(p.entry.key)};
  }
  if (job_.max_images != 0 && static_cast<std::uint32_t>(downloaded_) >= job_.max_images) {
    return LoopEnd::kLimitReached;
  }
  return CheckFreeSpace();
}

// Fetches the picture into its file. A picture the server refuses (403) is passed over; any
// other failure ends the loop. The request has removed its part file; a picture stored under
// the same name before stays.
StepEnd Worker::FetchPicture(const std::string& identifier, FetchedPicture* out) {
  const RunResult r =
      HttpFetch(kPicturePath + identifier, job_, out->head, sizeof out->head, &out->body);
  out->refused = r == RunResult::kHttpForbidden;
  last_request_ = out->refused ? RunResult::kOk : r;
  if (r == RunResult::kOk || out->refused) return std::nullopt;
  if (r == RunResult::kHttpUnauthorized || r == RunResult::kHttpNotFound ||
      r == RunResult::kHttpOtherStatus) {
    Log(kLogError, kMsgCommunication);
  }
  return LoopEnd::kRequestFailed;
}

// Files the fetched picture in the index and imagepath.lst. The header comes from the bytes
// as they streamed in: the file is not read back. A body beginning "error" (the server's
// error report) or without a camera header is removed again; false then.
bool Worker::StorePicture(const ListedPicture& p, const FetchedPicture& fetched) {
  const std::size_t got = fetched.body.copied;
  PictureHeader header;
  const bool error_body = got >= 5 && std::memcmp(fetched.head, "error", 5) == 0;
  if (error_body || !PictureHeaderOf(std::string_view(fetched.head, got), &header)) {
    ::unlink(job_.target_file.c_str());
    return false;
  }
  if (index_.Add(p.entry.key, header) != ImageResult::kOk) {
    ctx_.log.Writef(kLogWarning, kMsgAddImageFailed, EscapeForLog(p.entry.key).c_str());
  }
  CountStored(fetched.body.bytes);
  latest_.assign(p.date).append(p.time);
  ++downloaded_;
  const long left = ctx_.remaining.fetch_sub(1) - 1;
  char status[2048];
  std::snprintf(status, sizeof status, kStatusDownloaded, std::string(p.entry.key).c_str(), left);
  Status(status);
  if (image_list_) {
    const std::string row = std::string(p.date) + " " + job_.target_file + "\r\n";
    if (std::fwrite(row.data(), 1, row.size(), image_list_.get()) != row.size()) {
      Log(kLogError, kMsgWorkFileD015);
    }
  }
  return true;
}

// Queues the stored picture for deletion on the server; a full batch of eight goes at once.
// A failed login for deletion lets downloading go on; any other failure ends the loop.
StepEnd Worker::QueueDeletion(const std::string& identifier) {
  if (!job_.delete_on_server) return std::nullopt;
  batch_ += "iid=" + identifier + "&";
  if (++batch_count_ < kDeleteBatchSize) return std::nullopt;
  const RunResult r = SendDeleteBatch();
  last_request_ = r;
  if (r == RunResult::kOk || r == RunResult::kHttpUnauthorized) return std::nullopt;
  return LoopEnd::kDeleteFailed;
}

// Sends what is left in the batch when the loop ends in a way that keeps it.
void Worker::FlushDeletions(LoopEnd end) {
  if (!FlushesBatch(end) || batch_count_ == 0) return;
  last_request_ = SendDeleteBatch();
}

// Sends the pending deletion batch and counts what it did; returns the request's result.
RunResult Worker::SendDeleteBatch() {
  Status(kStatusDeleting);
  std::string path = kDeletePath + batch_;
  path.pop_back();  // the final "&"
  job_.target_file.clear();
  const RunResult r = HttpFetch(path, job_);
  const int count = batch_count_;
  batch_.clear();
  batch_count_ = 0;
  if (r == RunResult::kOk) {
    deleted_on_server_ += count;
  } else if (r == RunResult::kHttpUnauthorized) {
    if (!login_failure_logged_) {
      Log(kLogError, kMsgDeleteLoginFailed);
      login_failure_logged_ = true;
    }
    deletion_failure_ = 1;
  } else if (r != RunResult::kAborted) {
    deletion_failure_ = 2;
  }
  return r;
}

// ---- the free-space policy --------------------------------------------------------------

// Free space is kept "as last measured": a failed measurement leaves the figure alone.
bool Worker::Measure(std::uint64_t* free_bytes, std::uint64_t* total) {
  std::uint64_t f = 0, t = 0;
  const bool ok = ctx_.MeasureDisk(job_.image_directory, &f, &t);
  if (ok) *free_bytes = f;
  if (total) *total = ok ? t : 0;
  if (free_bytes == &free_) {
    measured_at_ms_ = GetClock().SteadyMs();
    stored_since_measure_ = 0;
    pictures_since_measure_ = 0;
  }
  return ok;
}

// Measures the volume again unless the estimate stays well clear of the need.
void Worker::RefreshFreeSpace() {
  const std::uint64_t estimate = free_ > stored_since_measure_ ? free_ - stored_since_measure_ : 0;
  if (measured_at_ms_ < 0 || estimate < need_ + kSpaceMargin ||
      GetClock().SteadyMs() - measured_at_ms_ >= kSpaceRefreshMs ||
      pictures_since_measure_ >= kSpaceRefreshPictures) {
    Measure(&free_);
  }
}

// Before a new picture: room enough, or room made by removing the oldest pictures when the
// options allow it; otherwise D029 and the loop stops (or D003 when an abort came meanwhile).
StepEnd Worker::CheckFreeSpace() {
  RefreshFreeSpace();
  if (free_ >= need_) return std::nullopt;
  if (job_.auto_delete) {
    ctx_.TouchActivity();
    if (!old_list_built_) BuildOldImageList();
    if (old_front_ < old_images_.size()) {
      ctx_.TouchActivity();
      if (RemoveOldImagesForSpace()) {
        ctx_.TouchActivity();
        return std::nullopt;
      }
      if (!ctx_.abort.load()) Measure(&free_);
    }
    if (ctx_.abort.load()) {
      Log(kLogWarning, kMsgAborted);
      return LoopEnd::kAborted;
    }
  }
  LogSpace(kMsgInsufficientSpace);
  return LoopEnd::kNoSpace;
}

// The pictures stored before this run, oldest first, up to the first picture of this run
// that was not already stored.
void Worker::BuildOldImageList() {
  old_list_built_ = true;
  old_images_.clear();
  old_front_ = 0;
  auto catalog = OpenCatalogForDirectory(job_.image_directory);
  if (!catalog) return;
  const CatalogFilter any;
  for (int year : catalog->Years()) {
    if (limit_set_ && year > limit_.year) break;
    auto days = OpenYear(*catalog, year, any);
    if (!days) continue;
    for (int day = days->NextDay(); day >= 0; day = days->NextDay()) {
      if (limit_set_ && year == limit_.year && day > limit_.day) break;
      auto reader = OpenDayInDirectory(job_.image_directory, year, day, any);
      if (!reader) continue;
      for (long number = reader->NextImage(); number >= 0; number = reader->NextImage()) {
        if (ctx_.abort.load()) {
          old_images_.clear();
          return;
        }
        if (limit_set_ && year == limit_.year && day == limit_.day && number == limit_.number) {
          break;
        }
        old_images_.push_back(OldImage{year, day, number, reader->Key()});
      }
    }
  }
  std::stable_sort(old_images_.begin(), old_images_.end(),
                   [](const OldImage& a, const OldImage& b) {
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
  int removed_here = 0;
  while (old_front_ < old_images_.size()) {
    if (shortfall == 0 || (removed_here > 0 && removed_here % 100 == 0)) {
      Measure(&free_);
      if (free_ >= need_) return true;
      shortfall = need_ - free_;
    }
    if (ctx_.abort.load()) break;
    if (RemoveOldImage(old_images_[old_front_++], &shortfall)) {
      ++removed_here;
      ++removed_for_space_;
    }
  }
  Measure(&free_);
  return free_ >= need_;
}

// Removes one old picture (index record, its files) and the day and year directories it
// leaves empty; the shortfall shrinks by the bytes freed. True when its .jpg file was there.
bool Worker::RemoveOldImage(const OldImage& e, std::uint64_t* shortfall) {
  auto shrink = [shortfall](const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || ::unlink(path.c_str()) != 0) return false;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    *shortfall = size >= *shortfall ? 0 : *shortfall - size;
    return true;
  };
  (void)index_.Remove(e.key);  // the picture goes whether or not its record could be zeroed
  char day_dir[64], base[96];
  std::snprintf(day_dir, sizeof day_dir, "/%04d/%04d", e.year, e.day);
  std::snprintf(base, sizeof base, "%s/%08ld", day_dir, e.number);
  const bool removed = shrink(image_root_ + base + ".jpg");
  shrink(image_root_ + base + ".rgb");
  shrink(image_root_ + base + ".luv");
  const bool last = old_front_ >= old_images_.size();
  const OldImage* next = last ? nullptr : &old_images_[old_front_];
  if (last || next->year != e.year || next->day != e.day) {
    if (::rmdir((image_root_ + day_dir).c_str()) == 0) directories_removed_ = true;
  }
  if (last || next->year != e.year) {
    char year_dir[32];
    std::snprintf(year_dir, sizeof year_dir, "/%04d", e.year);
    if (::rmdir((image_root_ + year_dir).c_str()) == 0) directories_removed_ = true;
  }
  return removed;
}

// ---- the end of a phase -----------------------------------------------------------------

// "YYYY/MM/DD hh:mm:ss:cc" from the 16 digits of the latest picture ("" when none).
std::string LatestText(std::string s) {
  if (s.empty()) return s;
  std::replace(s.begin(), s.end(), ' ', '0');
  s.resize(16, '0');
  return s.substr(0, 4) + "/" + s.substr(4, 2) + "/" + s.substr(6, 2) + " " + s.substr(8, 2) + ":" +
         s.substr(10, 2) + ":" + s.substr(12, 2) + ":" + s.substr(14, 2);
}

void Worker::EndOfPhase() {
  if (removed_for_space_ > 0) ctx_.log.Writef(kLogInfo, kMsgOldImagesDeleted, removed_for_space_);
  const std::string latest = LatestText(latest_);
  if (deletion_failure_ != 0) Log(kLogError, kMsgDeleteFailed);
  if (downloaded_ == 0) {
    Log(kLogInfo, kMsgCompletedNone);
  } else if (deleted_on_server_ == 0) {
    ctx_.log.Writef(kLogInfo, kMsgCompletedNoDelete, downloaded_, latest.c_str());
  } else {
    ctx_.log.Writef(kLogInfo, kMsgCompletedDeleted, downloaded_, deleted_on_server_,
                    latest.c_str());
  }
  old_images_.clear();
  old_images_.shrink_to_fit();
  Measure(&free_);
  if (free_ < need_ * 110 / 100 && free_ >= need_) {
    ctx_.log.Writef(kLogWarning, kMsgLowSpace, static_cast<long long>(free_ >> 20),
                    static_cast<long long>(need_ >> 20));
  }
  image_list_.reset();
}

}  // namespace

RunResult RunWorkerPhase(DownloadJob& job) {
  try {
    Worker worker(job);
    return job.phase == 1 ? worker.Phase1() : worker.Phase2();
  } catch (const std::bad_alloc&) {
    job.context->log.Write(kLogError, kMsgNoMemory);
    return RunResult::kOutOfMemory;
  }
}

}  // namespace pondrel::dl
