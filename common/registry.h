// The registry access layer. Pondrel keeps the Windows-style registry as a text file in the
// REGEDIT4 format:
//   [HKEY_LOCAL_MACHINE\SOFTWARE\VELTA\Orvane\KV\RIDAVOR\1.0]
//   "ROOT"="/var/lib/pondrel"
//   "DLLimitSpaceMB"=dword:0000000a
//   "Path"=hex(2):2f,74,6d,70,00            (expandable text, bytes with the zero)
//   "List"=hex(7):61,00,62,00,00            (multi-text, each with its zero, then one more)
// HKEY_LOCAL_MACHINE lives in $PONDREL_REGISTRY (else /etc/pondrel/system.reg),
// HKEY_CURRENT_USER in $PONDREL_USER_REGISTRY (else $XDG_CONFIG_HOME/pondrel/user.reg).
// Key and value names compare case-insensitively. Every write re-reads the file, changes it
// and replaces it atomically under an exclusive lock on "<file>.lock", so no writer's change
// is lost and a reader never sees half a file.
//
// A rewrite keeps every line it does not change: comments, values of unknown forms, lines it
// cannot read and the sections of other hives stay as they stand. A file that cannot be read
// whole (empty, UTF-16, without its "REGEDIT4" line, cut off in the middle of its last line,
// unreadable) is read for what it holds but never rewritten: every write then fails and the
// file stays byte for byte (RegistryFileDamage tells why). A UTF-8 byte-order mark is
// tolerated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pondrel {

enum class RegHive { kLocalMachine, kCurrentUser };

// The settings key of the whole system (written with its trailing backslash).
inline constexpr char kSettingsKey[] = "SOFTWARE\\VELTA\\Orvane\\KV\\RIDAVOR\\1.0\\";
// Key paths of 260 characters or longer cannot be created.
inline constexpr std::size_t kMaxKeyPath = 260;
// "ROOT" is read into 260 bytes: a value of 260 bytes or more counts as missing.
inline constexpr std::size_t kRootBufferSize = 260;

std::string RegistryFilePath(RegHive hive);
// Why the hive's file must not be rewritten, in words ("the file is UTF-16 text, ..."); ""
// when it can be (also when it does not exist: the first write creates it).
std::string RegistryFileDamage(RegHive hive = RegHive::kLocalMachine);

enum class RegType { kText, kExpandText, kMultiText, kNumber };

struct RegValue {
  RegType type = RegType::kText;
  std::string text;                // kText, kExpandText
  std::vector<std::string> multi;  // kMultiText
  std::uint32_t number = 0;        // kNumber
};

// One open key. Opening a missing key fails and leaves the object closed. Every read looks at
// the file as it is now; every write goes straight to the file.
class RegistryKey {
 public:
  explicit RegistryKey(RegHive hive = RegHive::kLocalMachine) : hive_(hive) {}

  bool OpenRead(std::string_view key);
  bool OpenAll(std::string_view key);
  bool OpenFull(std::string_view key) { return OpenAll(key); }
  void Close();
  bool IsOpen() const { return open_; }
  const std::string& KeyPath() const { return key_; }

  // True only if the value exists as text and is shorter than `size`; the text is then
  // terminated. A value of another type does not read as text.
  bool ReadText(std::string_view name, char* buf, std::size_t size) const;
  bool ReadText(std::string_view name, std::string* out) const;
  // True only if the value exists as a 32-bit number.
  bool ReadNumber(std::string_view name, std::uint32_t* out) const;
  bool ReadMultiText(std::string_view name, std::vector<std::string>* out) const;
  bool ReadValue(std::string_view name, RegValue* out) const;
  std::vector<std::string> ValueNames() const;

  // Writes report whether the file was written; most callers ignore failures on purpose.
  bool WriteText(std::string_view name, std::string_view text);
  bool WriteExpandText(std::string_view name, std::string_view text);
  bool WriteMultiText(std::string_view name, const std::vector<std::string>& items);
  bool WriteNumber(std::string_view name, std::uint32_t value);
  bool WriteValue(std::string_view name, const RegValue& value);
  bool DeleteValue(std::string_view name);

  // Creates the key path one level at a time (levels split at "\"). Fails if the path is
  // 260 characters or longer or the file cannot be written.
  static bool CreatePath(std::string_view key, RegHive hive = RegHive::kLocalMachine);
  // Removes the key and every key below it.
  static bool DeleteKey(std::string_view key, RegHive hive = RegHive::kLocalMachine);
  static bool KeyExists(std::string_view key, RegHive hive = RegHive::kLocalMachine);
  // Names of the keys directly below `key`.
  static std::vector<std::string> SubKeyNames(std::string_view key,
                                              RegHive hive = RegHive::kLocalMachine);

 private:
  bool Open(std::string_view key);
  RegHive hive_;
  bool open_ = false;
  std::string key_;
};

// The installation's root directory: "ROOT" under the settings key, read into 260 bytes,
// with one trailing "\" or "/" removed. Empty when the key or value is missing or too long.
std::string ReadRootDir();
// ROOT as the programs use it: ReadRootDir(), refused ("") unless it is an absolute path, so
// that nothing is resolved against whatever directory a program was started in. When it is
// refused, *problem (when given) says why, to be put after the registry file's name; for a
// missing value it reads "no installation directory: \"ROOT\" is not set ...".
std::string ReadUsableRootDir(std::string* problem = nullptr);

}  // namespace pondrel
