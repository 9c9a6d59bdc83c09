#include "common/store_damage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "common/fs_util.h"
#include "common/unique_fd.h"

namespace pondrel {
namespace {

// Copies of one file: enough for any number of distinct damages anyone will keep.
constexpr int kMaxCopies = 1000;
constexpr std::uint64_t kMaxCopySize = 256u * 1024 * 1024;

// Writes a new file (never over an existing one), flushed to disk; removed again on failure.
bool WriteNewFile(const std::string& path, std::string_view data, mode_t mode) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd) return false;
  ::fchmod(fd.get(), mode);
  if (!WriteAll(fd.get(), data) || ::fsync(fd.get()) != 0) {
    fd.reset();
    ::unlink(path.c_str());
    return false;
  }
  return true;
}

std::mutex& ObserverMutex() {
  static std::mutex m;
  return m;
}

std::function<void(const StoreDamage&)>& Observer() {
  static std::function<void(const StoreDamage&)> observer;
  return observer;
}

void AppendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

bool KeepDamagedCopy(const std::string& file, std::string_view content, mode_t mode,
                     std::string* copy_path) {
  for (int n = 0; n < kMaxCopies; ++n) {
    std::string copy = file + kDamagedCopySuffix;
    if (n > 0) copy += "." + std::to_string(n);
    if (FileExists(copy)) {
      std::string existing;
      if (ReadWholeFile(copy, &existing, kMaxCopySize) && existing == content) {
        *copy_path = copy;
        return true;
      }
      continue;
    }
    if (!WriteNewFile(copy, content, mode)) {
      if (errno == EEXIST) continue;  // another reader made it just now: look at it again
      return false;
    }
    *copy_path = copy;
    return true;
  }
  return false;
}

void SetStoreDamageObserver(std::function<void(const StoreDamage&)> observer) {
  std::lock_guard<std::mutex> hold(ObserverMutex());
  Observer() = std::move(observer);
}

void ReportStoreDamage(const StoreDamage& damage) {
  std::function<void(const StoreDamage&)> observer;
  {
    std::lock_guard<std::mutex> hold(ObserverMutex());
    observer = Observer();
  }
  if (observer) observer(damage);
}

std::string StoreDamageKey(const StoreDamage& damage) {
  return damage.file + '\n' + damage.skipped + '\n' + damage.copy;
}

std::string_view SkipUtf8Bom(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  return text;
}

bool LooksLikeUtf16(std::string_view text, bool* big_endian) {
  if (text.size() < 2) return false;
  const unsigned char a = static_cast<unsigned char>(text[0]);
  const unsigned char b = static_cast<unsigned char>(text[1]);
  if ((a == 0xFF && b == 0xFE) || (a == 0xFE && b == 0xFF)) {
    *big_endian = a == 0xFE;
    return true;
  }
  if ((a == 0) == (b == 0)) return false;
  *big_endian = a == 0;
  return true;
}

std::string Utf16ToUtf8(std::string_view text, bool big_endian) {
  std::string out;
  out.reserve(text.size() / 2);
  auto unit = [&](std::size_t i) -> char32_t {
    const auto hi = static_cast<unsigned char>(text[big_endian ? i : i + 1]);
    const auto lo = static_cast<unsigned char>(text[big_endian ? i + 1 : i]);
    return static_cast<char32_t>(hi << 8 | lo);
  };
  std::size_t i = 0;
  for (; i + 1 < text.size(); i += 2) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < text.size()) {
      const char32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(&out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    AppendUtf8(&out, c);
  }
  if (i < text.size()) AppendUtf8(&out, 0xFFFD);
  return out;
}

}  // namespace pondrel
