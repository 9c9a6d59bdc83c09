#include "taskview/album/album_texts.h"

namespace pondrel::album {
namespace {

constexpr AlbumTexts kEnglish = {
    "Device %d",
    "Schedule %d",
    "Camera %d",
    "Standard",
    "Brighter",
    "It is the caputure time of the beginning of each page.",
    "Images of ",
    "",
    "Thumbnail View",
    "Detail Display",
    "Prev. %d pics",
    "Next %d pics",
    "recorded on %04d/%02d/%02d ",
    "Recorded Date & Time  %04d/%02d/%02d/ %02d:%02d:%02d\n",
    "Trigger        %s\n",
    "Camera         %s\n",
    "Pan            %s\n",
    "Tilt           %s\n",
    "Zoom           %s\n",
    "Brightness     %s\n",
    "File Name      %s\n",
    "Recorded Time: ",
    "%04d/%02d/%02d",
    "%02d:%02d:%02d",
    "Trigger: ",
    "\nCamera: ",
    "\nPan: %s\n",
    "Tilt: %s\n",
    "Zoom: %s\n",
    "Brighter: ",
    "File Name: %s",
};

// Shift JIS. Adjacent literals keep a hexadecimal escape from swallowing a following digit.
constexpr AlbumTexts kJapanese = {
    "\x90\xda\x93\x5f"
    "%d",  // 接点%d
    "\x83\x58\x83\x50\x83\x57\x83\x85\x81\x5b\x83\x8b"
    "%d",  // スケジュール%d
    "\x83\x4a\x83\x81\x83\x89"
    "%d",                        // カメラ%d
    "\x95\x57\x8f\x80",          // 標準
    "\x96\xbe\x82\xe9\x82\xdf",  // 明るめ
    // 各ページの先頭画像の撮影時刻です。
    "\x8a\x65\x83\x79\x81\x5b\x83\x57\x82\xcc\x90\xe6\x93\xaa\x89\xe6\x91\x9c\x82\xcc\x8e\x42"
    "\x89\x65\x8e\x9e\x8d\x8f\x82\xc5\x82\xb7\x81\x42",
    "",
    "\x82\xcc\x89\xe6\x91\x9c",                                  // の画像
    "\x83\x54\x83\x80\x83\x6c\x83\x43\x83\x8b\x95\x5c\x8e\xa6",  // サムネイル表示
    "\x8f\xda\x8d\xd7\x95\x5c\x8e\xa6",                          // 詳細表示
    "\x91\x4f\x82\xcc"
    "%d"
    "\x96\x87",  // 前の%d枚
    "\x8e\x9f\x82\xcc"
    "%d"
    "\x96\x87",  // 次の%d枚
    // 撮影日時 %04d年%02d月%02d日
    "\x8e\x42\x89\x65\x93\xfa\x8e\x9e %04d\x94\x4e%02d\x8c\x8e%02d\x93\xfa ",
    // 撮影日時    %d年%d月%d日 %d時%d分%d秒
    "\x8e\x42\x89\x65\x93\xfa\x8e\x9e    %d\x94\x4e%d\x8c\x8e%d\x93\xfa %d\x8e\x9e%d\x95\xaa%d"
    "\x95\x62\n",
    "\x83\x67\x83\x8a\x83\x4b\x81\x5b    %s\n",        // トリガー
    "\x83\x4a\x83\x81\x83\x89      %s\n",              // カメラ
    "\x83\x70\x83\x93        %s\n",                    // パン
    "\x83\x60\x83\x8b\x83\x67      %s\n",              // チルト
    "\x83\x59\x81\x5b\x83\x80      %s\n",              // ズーム
    "\x96\xbe\x82\xe9\x82\xb3      %s\n",              // 明るさ
    "\x83\x74\x83\x40\x83\x43\x83\x8b\x96\xbc  %s\n",  // ファイル名
    "\x8e\x42\x89\x65\x8e\x9e\x8d\x8f: ",              // 撮影時刻:
    "%d\x94\x4e%d\x8c\x8e%d\x93\xfa",                  // %d年%d月%d日
    "%d\x8e\x9e%d\x95\xaa%d\x95\x62",                  // %d時%d分%d秒
    "\x83\x67\x83\x8a\x83\x4b\x81\x5b: ",              // トリガー:
    "\n\x83\x4a\x83\x81\x83\x89: ",                    // カメラ:
    "\n\x83\x70\x83\x93: %s\n",                        // パン:
    "\x83\x60\x83\x8b\x83\x67: %s\n",                  // チルト:
    "\x83\x59\x81\x5b\x83\x80: %s\n",                  // ズーム:
    "\x96\xbe\x82\xe9\x82\xb3: ",                      // 明るさ:
    "\x83\x74\x83\x40\x83\x43\x83\x8b\x96\xbc: %s",    // ファイル名:
};

}  // namespace

AlbumLanguage LanguageOfTopPageName(std::string_view top_page_name) {
  const std::size_t dot = top_page_name.rfind('.');
  if (dot != std::string_view::npos && dot > 0 && top_page_name[dot - 1] == 'j') {
    return AlbumLanguage::kJapanese;
  }
  return AlbumLanguage::kEnglish;
}

char LanguageLetter(AlbumLanguage language) {
  return language == AlbumLanguage::kJapanese ? 'j' : 'e';
}

const AlbumTexts& TextsFor(AlbumLanguage language) {
  return language == AlbumLanguage::kJapanese ? kJapanese : kEnglish;
}

}  // namespace pondrel::album
