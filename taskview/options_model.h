// The download settings that the Options dialog edits, their defaults, the dialog's validation
// and its registry writes, and the HTML-generation toggle.
#pragma once

#include <cstdint>
#include <string>

namespace pondrel::tasdek {

inline constexpr std::uint32_t kDefaultLimitSpace = 10;      // "DLLimitSpaceMB", percent
inline constexpr std::uint32_t kDefaultImageAutomatic = 0;   // "DLImageAutomatic", abort
inline constexpr std::uint32_t kDefaultLimitImgFiles = 0;    // "DLLimitDWImgFiles", no limit
inline constexpr std::uint32_t kDefaultImgFilesMax = 10000;  // "DLDWImgFilesMax"

struct OptionsValues {
  std::uint32_t limit_space = kDefaultLimitSpace;
  std::uint32_t image_automatic = kDefaultImageAutomatic;
  std::uint32_t limit_img_files = kDefaultLimitImgFiles;
  std::uint32_t img_files_max = kDefaultImgFilesMax;
};

// What the dialog's controls hold.
struct OptionsForm {
  std::string free_space_text;  // "%lu" of "DLLimitSpaceMB"
  int action_index = 0;         // 0 "Abort task", 1 "Delete old image(s)"
  bool limit_checked = false;   // "Set max. number of pictures per download :"
  std::string max_text;         // "%lu" of "DLDWImgFilesMax"
};

// Reads the four values as the dialog does when it opens: missing values take their defaults
// and the defaults are written back; a missing settings key is created with all four.
OptionsValues LoadOptions();
// The same reading without any write (for showing the settings).
OptionsValues PeekOptions();

OptionsForm FormFromValues(const OptionsValues& v);

// Validation on OK. 0 when accepted, else the number of the failing step (1-4) with its
// message in `message`. With the limit off, an out-of-range maximum is replaced by "10000".
int ValidateOptionsForm(OptionsForm* form, std::string* message);

// Writes all four numbers (the form must have passed validation). False when the settings key
// cannot be opened for writing (nothing is written then) or a write failed (a registry file
// that could not be read whole is never rewritten).
bool SaveOptionsForm(const OptionsForm& form);

// "GenHtmlFlag": on unless the stored text begins with "0". Writing reports whether the file
// was written.
bool ReadGenHtmlFlag();
bool WriteGenHtmlFlag(bool on);

}  // namespace pondrel::tasdek
