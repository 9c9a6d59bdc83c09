#include "taskview/options_model.h"

#include <cstdio>

#include "common/registry.h"
#include "common/text_util.h"
#include "taskview/messages.h"

namespace pondrel::tasdek {
namespace {

constexpr const char* kNames[4] = {"DLLimitSpaceMB", "DLImageAutomatic", "DLLimitDWImgFiles",
                                   "DLDWImgFilesMax"};

std::uint32_t* Slot(OptionsValues& v, int i) {
  switch (i) {
    case 0: return &v.limit_space;
    case 1: return &v.image_automatic;
    case 2: return &v.limit_img_files;
    default: return &v.img_files_max;
  }
}

OptionsValues ReadValues(bool write_defaults) {
  OptionsValues v;
  RegistryKey key;
  if (key.OpenRead(kSettingsKey)) {
    bool missing[4] = {};
    for (int i = 0; i < 4; ++i) {
      std::uint32_t n = 0;
      if (key.ReadNumber(kNames[i], &n)) {
        *Slot(v, i) = n;
      } else {
        missing[i] = true;
      }
    }
    if (write_defaults) {
      OptionsValues d;
      RegistryKey w;
      for (int i = 0; i < 4; ++i) {
        if (!missing[i]) continue;
        if (!w.IsOpen() && !w.OpenAll(kSettingsKey)) break;
        w.WriteNumber(kNames[i], *Slot(d, i));
      }
    }
    return v;
  }
  if (write_defaults && RegistryKey::CreatePath(kSettingsKey)) {
    RegistryKey w;
    if (w.OpenAll(kSettingsKey)) {
      for (int i = 0; i < 4; ++i) w.WriteNumber(kNames[i], *Slot(v, i));
    }
  }
  return v;
}

std::string Format(const char* fmt, long a, long b) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, a, b);
  return buf;
}

}  // namespace

OptionsValues LoadOptions() { return ReadValues(true); }
OptionsValues PeekOptions() { return ReadValues(false); }

OptionsForm FormFromValues(const OptionsValues& v) {
  OptionsForm f;
  f.free_space_text = std::to_string(v.limit_space);
  f.action_index = v.image_automatic == 1 ? 1 : 0;
  f.limit_checked = v.limit_img_files != 0;
  f.max_text = std::to_string(v.img_files_max);
  return f;
}

int ValidateOptionsForm(OptionsForm* form, std::string* message) {
  if (form->free_space_text.empty()) {
    *message = kMsgFreeSpaceMissing;
    return 1;
  }
  if (form->max_text.empty()) {
    *message = kMsgMaxPicturesMissing;
    return 2;
  }
  const long space = ParseLeadingNumber(form->free_space_text);
  if (space < 1 || space > 50) {
    char buf[256];
    std::snprintf(buf, sizeof buf, kFmtFreeSpaceRange, 1, 50);
    *message = buf;
    return 3;
  }
  const long max = ParseLeadingNumber(form->max_text);
  if (max < 1 || max > 10000) {
    if (form->limit_checked) {
      *message = Format(kFmtMaxPicturesRange, 1L, 10000L);
      return 4;
    }
    form->max_text = "10000";
  }
  message->clear();
  return 0;
}

bool SaveOptionsForm(const OptionsForm& form) {
  RegistryKey key;
  if (!key.OpenAll(kSettingsKey)) return false;
  bool written = key.WriteNumber(
      kNames[0], static_cast<std::uint32_t>(ParseLeadingNumber(form.free_space_text)));
  written = key.WriteNumber(kNames[1], static_cast<std::uint32_t>(form.action_index)) && written;
  written = key.WriteNumber(kNames[2], form.limit_checked ? 1u : 0u) && written;
  written =
      key.WriteNumber(kNames[3], static_cast<std::uint32_t>(ParseLeadingNumber(form.max_text))) &&
      written;
  return written;
}

bool ReadGenHtmlFlag() {
  RegistryKey key;
  std::string text;
  if (key.OpenRead(kSettingsKey) && key.ReadText("GenHtmlFlag", &text)) {
    return text.empty() || text[0] != '0';
  }
  return true;
}

bool WriteGenHtmlFlag(bool on) {
  RegistryKey key;
  if (!key.OpenAll(kSettingsKey)) {
    RegistryKey::CreatePath(kSettingsKey);
    if (!key.OpenAll(kSettingsKey)) return false;
  }
  return key.WriteText("GenHtmlFlag", on ? "1" : "0");
}

}  // namespace pondrel::tasdek
