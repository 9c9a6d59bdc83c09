// The Image List: the days a server recorded, with their picture counts, from which the user
// generates and opens a day's album (display mode) or deletes a day's pictures (delete mode).
// The dialog and the command line both sit on this model; it shows nothing itself.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/guid.h"
#include "common/named_object.h"
#include "taskview/album/album_generator.h"

namespace pondrel::tasdek {

// The dialog's texts.
inline constexpr const char* kCaptionImageList = "Image List";
inline constexpr const char* kLabelServerName = "Server Name :";
inline constexpr const char* kColumnRecordedDate = "Recorded Date";
inline constexpr const char* kColumnImageFileCount = "Image File Count";
inline constexpr int kColumnWidth = 150;  // pixels, the first two columns
inline constexpr const char* kButtonDisplayImage = "Display Image...";
inline constexpr const char* kButtonDeleteImage = "Delete Image";
inline constexpr const char* kMsgStopServiceToContinue =
    "Stop the Pondrel Task Scheduler Service to continue.";
inline constexpr const char* kMsgDateNotSelected = "Recorded Date is not selected.";
inline constexpr const char* kFmtAskDeleteImages =
    "Are you sure you want to delete \"%s\" image file?";
inline constexpr const char* kFmtAskGenerateHtml =
    "HTML files to view image file \"%s\" will be generated.\r\nDo you want to continue?";
inline constexpr const char* kMsgGenerateHtmlFailed =
    "Failed to generate HTML file to view image files.";
inline constexpr const char* kMsgAskDeleteHtml = "Are you sure you want to delete HTML file?";

// The environment lock: while it is held the service starts no download.
inline constexpr const char* kEnvironmentLockName = "VeltaZoricSetEnvMutexName";

enum class ImageListMode { kDisplay, kDelete };

struct ImageListServer {
  Guid id{};
  std::string name;
  std::string image_dir;
};

struct ImageListRow {
  int year = 0;
  int month = 0;
  int day = 0;
  long count = 0;
  std::string DateText() const;  // "%04d/%02d/%02d"
  std::string CountText() const;
};

// Columns of the day list.
inline constexpr int kColumnDate = 0;
inline constexpr int kColumnCount = 1;
inline constexpr int kColumnOther = 2;  // untitled, always empty

// Each column's sort direction, kept for the life of the program: a column's first click
// sorts descending, the next ascending, and so on.
class ImageListSortMemory {
 public:
  // The direction of this click on `column`, and the turn to the other one for the next.
  bool NextDescending(int column);

 private:
  bool descending_next_[3] = {true, true, true};
};
ImageListSortMemory& ProcessSortMemory();

// The days of one image directory, ascending, each with its number of pictures. The
// progress runs 0-100 in steps of 5, one per day (wrapping past 100), and ends at 0.
// False when the catalogue cannot be opened.
bool ListRecordedDays(const std::string& image_dir, std::vector<ImageListRow>* rows,
                      const std::function<void(int position)>& progress = {});

// Parses "YYYY/MM/DD" ("%4d/%2d/%2d"); also accepts "YYYY-MM-DD" and "YYYYMMDD".
bool ParseRecordedDate(const std::string& text, int* year, int* month, int* day);

// Result of a row action.
struct ImageListOutcome {
  int code = 0;          // 0 done
  std::string message;   // what the dialog shows when code != 0
  std::string top_page;  // display mode: the page to open
};

class CImageList {
 public:
  explicit CImageList(ImageListMode mode, ImageListSortMemory* sort = &ProcessSortMemory());
  ImageListMode Mode() const { return mode_; }

  // Before the dialog opens. Delete mode: refused while `service_running` answers true
  // (kMsgStopServiceToContinue, information icon); otherwise takes the environment lock and
  // keeps it until this object ends (kMsgMutexError when another holder keeps it for two
  // seconds). 0 when the dialog may open, else 1 with the message.
  int Open(const std::function<bool()>& service_running, std::string* message);
  bool HoldsEnvironmentLock() const { return env_lock_.held(); }

  // Reads the server profiles (names and image directories, in store order). 0, or 1 with
  // kMsgReadFailed in *message.
  int LoadServers(std::string* message);
  const std::vector<ImageListServer>& Servers() const { return servers_; }
  bool ServerListEnabled() const { return !servers_.empty(); }
  int SelectedServer() const { return selected_; }

  // Selects a server and refills the day list.
  void SelectServer(int index, const std::function<void(int position)>& progress = {});
  const std::vector<ImageListRow>& Rows() const { return rows_; }
  // A header click.
  void SortByColumn(int column);

  std::string ButtonText() const;
  bool ButtonEnabled(int selected_row) const;
  void SetBusy(bool busy) { busy_ = busy; }

  // The question for the button on `row`; false with kMsgDateNotSelected in *text when no
  // row is selected.
  bool Question(int row, std::string* text) const;
  // Delete mode, after OK: the day's album, then its pictures; the row goes.
  ImageListOutcome DeleteRow(int row);
  // Display mode, after OK: generates the day's album. Fails when generation fails, gives
  // fewer pictures than the row counts, or leaves no top page.
  ImageListOutcome GenerateRow(int row, const std::function<void(long, long)>& progress = {});

 private:
  // A valid row of a selected server; otherwise kMsgDateNotSelected in *out.
  bool CheckRow(int row, ImageListOutcome* out) const;
  ImageListMode mode_;
  ImageListSortMemory* sort_;
  NamedLock env_lock_{kEnvironmentLockName};
  std::vector<ImageListServer> servers_;
  int selected_ = -1;
  std::vector<ImageListRow> rows_;
  bool busy_ = false;
};

// When the Task View closes: whether some server has albums (then the question
// kMsgAskDeleteHtml is asked), and on Yes the removal of the album root of the first such
// server and of every following one.
class CAlbumCleanup {
 public:
  // Reads the profiles; false when they cannot be read (nothing is asked then).
  bool Load();
  bool HasAlbums() const { return first_ >= 0; }
  // Removes the albums; the number of servers whose albums are gone.
  int DeleteAll();

 private:
  std::vector<ImageListServer> servers_;
  int first_ = -1;
};

}  // namespace pondrel::tasdek
