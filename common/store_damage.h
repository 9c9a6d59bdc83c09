// Damaged store files: telling what could not be read, and keeping the file as it was.
//
// A store (schedule.ini, prp1) that cannot be read whole is still used for what it holds, but
// never silently: the store reports the damage to the process's observer (the command line
// prints a warning, the service writes one log line), and before anything rewrites the file
// without the unreadable part, a copy of the whole file is kept beside it as
// "<file>.damaged" (".damaged.1", ... when that name holds another damage).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

namespace pondrel {

inline constexpr char kDamagedCopySuffix[] = ".damaged";

struct StoreDamage {
  std::string file;     // the damaged file
  std::string skipped;  // what could not be read, in words ("316 bytes from byte 1201 ...")
  std::string copy;     // where the whole file as it was is kept; "" when no copy could be made
};

// Keeps `content` (the damaged file as read) as "<file>.damaged", or ".damaged.N" when that
// name is taken by a different content. An existing copy with the same content is reused, so
// reading the same damage again makes no second copy. True and *copy_path, or false.
bool KeepDamagedCopy(const std::string& file, std::string_view content, mode_t mode,
                     std::string* copy_path);

// The process's observer of damaged stores (none by default). Set once at start-up; called
// on the thread that read the file, every time a store reads a damaged file, so an observer
// that should tell only once remembers what it told (see StoreDamageKey).
void SetStoreDamageObserver(std::function<void(const StoreDamage&)> observer);
void ReportStoreDamage(const StoreDamage& damage);
// One text per distinct damage (file, what was skipped, copy).
std::string StoreDamageKey(const StoreDamage& damage);

// Text encodings that 8-bit stores meet when a file was saved by the wrong editor.
// A UTF-8 byte-order mark at the start is dropped (it is harmless).
std::string_view SkipUtf8Bom(std::string_view text);
// UTF-16: a byte-order mark, or a first character whose other byte is zero (as "R\0E\0").
// *big_endian tells the byte order.
bool LooksLikeUtf16(std::string_view text, bool* big_endian);
// UTF-16 (without its byte-order mark) as UTF-8; an odd last byte and unpaired surrogates
// become U+FFFD.
std::string Utf16ToUtf8(std::string_view text, bool big_endian);

}  // namespace pondrel
