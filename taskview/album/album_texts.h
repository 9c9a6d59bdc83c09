// The visible texts of an album in its two language variants. The English pages are plain
// ASCII; the Japanese pages are written in Shift JIS, so their texts here are Shift JIS byte
// sequences (the comments give each in readable form).
#pragma once

#include <string_view>

namespace pondrel::album {

enum class AlbumLanguage { kEnglish, kJapanese };

// The Task View's top-page name: the variant is Japanese when the character before the last
// "." of this text is "j".
inline constexpr char kTopPageNameResource[] = "top-e.html";
AlbumLanguage LanguageOfTopPageName(std::string_view top_page_name);
// "e" or "j": the letter that ends every page name of the variant.
char LanguageLetter(AlbumLanguage language);

struct AlbumTexts {
  // Value texts ("%d" is the number shown).
  const char* trigger_device;    // "Device %d"
  const char* trigger_schedule;  // "Schedule %d"
  const char* camera;            // "Camera %d"
  const char* brightness_standard;
  const char* brightness_brighter;
  // The day index page's sentence above the list of page start times.
  const char* allist_sentence;
  // List page: heading after the server name, view switch links, previous / next link texts
  // ("%d" the count), the recording date before the time drop-down.
  const char* heading_before;  // English "Images of "
  const char* heading_after;   // Japanese "の画像"
  const char* thumbnail_view;
  const char* detail_display;
  const char* prev_pics;    // "Prev. %d pics"
  const char* next_pics;    // "Next %d pics"
  const char* recorded_on;  // "recorded on %04d/%02d/%02d "
  // Detail entry lines; the date line takes year, month, day, hour, minute, second.
  const char* detail_date;
  const char* detail_trigger;
  const char* detail_camera;
  const char* detail_pan;
  const char* detail_tilt;
  const char* detail_zoom;
  const char* detail_brightness;
  const char* detail_file_name;
  // Tooltip pieces: the date ("%04d/%02d/%02d" or with units) and time of the recording.
  const char* tip_recorded;  // "Recorded Time: "
  const char* tip_date;
  const char* tip_time;
  const char* tip_trigger;     // "Trigger: "
  const char* tip_camera;      // "\nCamera: "
  const char* tip_pan;         // "\nPan: %s\n"
  const char* tip_tilt;        // "Tilt: %s\n"
  const char* tip_zoom;        // "Zoom: %s\n"
  const char* tip_brightness;  // "Brighter: "
  const char* tip_file_name;   // "File Name: %s"
};

const AlbumTexts& TextsFor(AlbumLanguage language);

}  // namespace pondrel::album
