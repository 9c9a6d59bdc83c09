#include "common/registry.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "common/fs_util.h"
#include "common/store_damage.h"
#include "common/text_util.h"
#include "common/unique_fd.h"

namespace pondrel {
namespace {

constexpr std::uint64_t kMaxRegistryFile = 64u * 1024 * 1024;

const char* HiveName(RegHive hive) {
  return hive == RegHive::kLocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

// Key paths are compared without leading or trailing backslashes.
std::string NormalizeKey(std::string_view key) {
  while (!key.empty() && key.front() == '\\') key.remove_prefix(1);
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  return std::string(key);
}

struct Entry {
  std::string name;  // "" is the key's default value ("@")
  RegValue value;
  std::optional<std::string> raw;   // a value of a kind we do not interpret, kept verbatim
  std::optional<std::string> line;  // not a value: a line kept as it stands (a comment, or a
                                    // line we cannot read), never matched by name
};

struct Key {
  std::string path;  // relative to the hive, as first written
  // A section that is not one of our keys (another hive, a header we cannot read): its
  // header line as it stands. Such a section is never matched; its lines are kept.
  std::optional<std::string> header;
  std::vector<Entry> values;
};

struct RegFile {
  std::vector<std::string> preamble;  // lines before the first section, kept as they stand
  std::vector<Key> keys;
  // Why the file must not be rewritten: what a rewrite would lose ("" when nothing).
  std::string damage;

  Key* Find(std::string_view path) {
    for (auto& k : keys)
      if (!k.header && EqualsNoCase(k.path, path)) return &k;
    return nullptr;
  }
  Key& Ensure(const std::string& path) {
    if (Key* k = Find(path)) return *k;
    keys.push_back(Key{path, std::nullopt, {}});
    return keys.back();
  }
};

bool IsValueNamed(const Entry& e, std::string_view name) {
  return !e.line && EqualsNoCase(e.name, name);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHexList(std::string_view s, std::string* bytes) {
  bytes->clear();
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ',' || s[i] == ' ' || s[i] == '\t')) ++i;
    if (i >= s.size()) break;
    if (i + 1 >= s.size()) return false;
    int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes->push_back(static_cast<char>(hi << 4 | lo));
    i += 2;
  }
  return true;
}

std::string HexList(std::string_view bytes) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(bytes[i]));
    if (i) out.push_back(',');
    out += buf;
  }
  return out;
}

// Parses a quoted name or text starting at s[*pos] == '"'; leaves *pos after the closing quote.
bool ParseQuoted(std::string_view s, std::size_t* pos, std::string* out) {
  out->clear();
  std::size_t i = *pos + 1;
  while (i < s.size()) {
    char c = s[i];
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out->push_back(s[i + 1]);
      i += 2;
    } else if (c == '"') {
      *pos = i + 1;
      return true;
    } else {
      out->push_back(c);
      ++i;
    }
  }
  return false;
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

bool NeedsHexText(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

// The number of a "dword:" value: one to eight hex digits.
std::optional<std::uint32_t> ParseDword(std::string_view digits) {
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  std::uint32_t v = 0;
  for (char c : digits) {
    const int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    v = v << 4 | static_cast<std::uint32_t>(d);
  }
  return v;
}

// The texts of a "hex(7):" value's bytes: each ends with a zero byte, the list with an empty
// text.
std::vector<std::string> SplitMultiText(const std::string& bytes) {
  std::vector<std::string> texts;
  std::size_t start = 0;
  while (start < bytes.size()) {
    auto nul = bytes.find('\0', start);
    if (nul == std::string::npos) nul = bytes.size();
    if (nul == start) break;  // the closing empty string
    texts.push_back(bytes.substr(start, nul - start));
    start = nul + 1;
  }
  return texts;
}

// The value that `data` (what follows "=") writes; none when the data is of no form we
// understand or of a known form that does not parse.
std::optional<RegValue> ParseData(std::string_view data) {
  RegValue value;
  std::string bytes;
  if (!data.empty() && data.front() == '"') {
    std::size_t pos = 0;
    if (!ParseQuoted(data, &pos, &value.text)) return std::nullopt;
    // A text ends at its first zero byte, as with hex text, so that a rewrite keeps it.
    const auto nul = value.text.find('\0');
    if (nul != std::string::npos) value.text.resize(nul);
    value.type = RegType::kText;
  } else if (data.starts_with("dword:")) {
    const std::optional<std::uint32_t> number = ParseDword(data.substr(6));
    if (!number) return std::nullopt;
    value.type = RegType::kNumber;
    value.number = *number;
  } else if (data.starts_with("hex(2):") || data.starts_with("hex(1):")) {
    if (!ParseHexList(data.substr(7), &bytes)) return std::nullopt;
    auto nul = bytes.find('\0');
    if (nul != std::string::npos) bytes.resize(nul);
    value.type = data[4] == '2' ? RegType::kExpandText : RegType::kText;
    value.text = bytes;
  } else if (data.starts_with("hex(7):")) {
    if (!ParseHexList(data.substr(7), &bytes)) return std::nullopt;
    value.type = RegType::kMultiText;
    value.multi = SplitMultiText(bytes);
  } else {
    return std::nullopt;
  }
  return value;
}

// Adds the value to the key (a later value of the same name replaces an earlier one). False
// when the data is of no form we understand; the value is then kept verbatim.
bool ParseValue(Key& key, const std::string& name, std::string_view data) {
  Entry e;
  e.name = name;
  // A value of a known form that does not parse is kept as it stands, like a value of an
  // unknown form, so that rewriting the file for another value never drops it.
  std::optional<RegValue> value = ParseData(data);
  const bool understood = value.has_value();
  if (understood) {
    e.value = std::move(*value);
  } else {
    e.raw = std::string(data);
  }
  for (auto& existing : key.values) {
    if (IsValueNamed(existing, name)) {
      existing = std::move(e);
      return understood;
    }
  }
  key.values.push_back(std::move(e));
  return understood;
}

// The next line of the text from *pos, with the lines that continue it; *pos moves past its
// line end. Hex data may continue on the next lines after a trailing ",\"; one at the end of
// the file continues nothing and is dropped, so that a rewrite never joins the next line.
std::string NextJoinedLine(std::string_view text, std::size_t* pos) {
  std::size_t end = text.find('\n', *pos);
  if (end == std::string_view::npos) end = text.size();
  std::string line(text.substr(*pos, end - *pos));
  *pos = end + 1;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const auto continues = [&line] {
    return line.size() >= 2 && line.back() == '\\' && line[line.size() - 2] == ',' &&
           line.find("=hex") != std::string::npos;
  };
  while (continues() && *pos < text.size()) {
    line.pop_back();
    end = text.find('\n', *pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view next = text.substr(*pos, end - *pos);
    *pos = end + 1;
    while (!next.empty() && (next.front() == ' ' || next.front() == '\t')) next.remove_prefix(1);
    if (!next.empty() && next.back() == '\r') next.remove_suffix(1);
    line += next;
  }
  if (continues()) line.pop_back();
  return line;
}

bool IsRegedit4Head(std::string_view head) {
  while (!head.empty() && (head.back() == ' ' || head.back() == '\t')) head.remove_suffix(1);
  return head == "REGEDIT4";
}

// Keeps a line as it stands: in the current section, else in the last one, else before the
// first.
void KeepLine(RegFile& file, Key* current, const std::string& line) {
  Entry e;
  e.line = line;
  if (current) {
    current->values.push_back(std::move(e));
  } else if (!file.keys.empty()) {
    file.keys.back().values.push_back(std::move(e));
  } else {
    file.preamble.push_back(line);
  }
}

// A section header `l` (the line without its leading blanks): a key of our hive becomes
// *current; any other section is kept as it stands. False when the header cannot be read.
bool ReadSectionHeader(RegFile& file, std::string_view l, const std::string& line,
                       std::string_view prefix, Key** current) {
  *current = nullptr;
  const auto close = l.rfind(']');
  std::string_view path =
      close == std::string_view::npos ? std::string_view() : l.substr(1, close - 1);
  const bool ours = close != std::string_view::npos && path.size() >= prefix.size() &&
                    EqualsNoCase(path.substr(0, prefix.size()), prefix) &&
                    (path.size() == prefix.size() || path[prefix.size()] == '\\');
  if (!ours) {
    file.keys.push_back(Key{std::string(), line, {}});
    return close != std::string_view::npos;
  }
  path.remove_prefix(prefix.size());
  *current = &file.Ensure(NormalizeKey(path));
  return true;
}

// A value line `l` ("name"=data or @=data) of the current key; one we cannot read is kept as
// it stands. False when the line or its data is not understood.
bool ReadValueLine(RegFile& file, Key* current, std::string_view l, const std::string& line) {
  std::string name;
  std::size_t p = 0;
  bool named = true;
  if (l.front() == '"') {
    named = ParseQuoted(l, &p, &name);
  } else {
    p = 1;
  }
  if (named && p < l.size() && l[p] == '=') return ParseValue(*current, name, l.substr(p + 1));
  KeepLine(file, current, line);
  return false;
}

// Reads the file's text. Whatever it holds, every line is either understood or kept as it
// stands, so that a rewrite for one value never drops another line. A file whose whole cannot
// be read (empty, UTF-16, no "REGEDIT4" first line, cut off in the middle of its last line)
// is read for what it holds, and RegFile::damage says why it must not be rewritten.
RegFile ParseRegFile(std::string_view text, RegHive hive) {
  RegFile file;
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    file.damage = "the file is empty";
    return file;
  }
  bool big_endian = false;
  if (LooksLikeUtf16(text, &big_endian)) {
    file.damage = "the file is UTF-16 text, not REGEDIT4 (8-bit) text";
    return file;
  }
  text = SkipUtf8Bom(text);
  const std::string prefix = std::string(HiveName(hive));
  Key* current = nullptr;
  std::size_t pos = 0;
  bool first_line = true;
  while (pos < text.size()) {
    const std::string line = NextJoinedLine(text, &pos);
    // The last line, when no line end follows it, may be a line cut short.
    const bool unterminated = pos > text.size() && !text.empty() && text.back() != '\n';
    if (first_line) {
      first_line = false;
      if (IsRegedit4Head(line)) continue;
      file.damage = "the file does not begin with the line \"REGEDIT4\"";
    }
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) continue;  // blank lines are not kept
    const std::string_view l = std::string_view(line).substr(first);
    bool understood = true;
    if (l.front() == ';') {
      KeepLine(file, current, line);
    } else if (l.front() == '[') {
      understood = ReadSectionHeader(file, l, line, prefix, &current);
    } else if (current && (l.front() == '"' || l.front() == '@')) {
      understood = ReadValueLine(file, current, l, line);
    } else {
      KeepLine(file, current, line);
      understood = current == nullptr && !file.keys.empty();  // a line of another hive
    }
    if (unterminated && !understood && file.damage.empty()) {
      file.damage = "the file ends in the middle of a line (it was cut short)";
    }
  }
  return file;
}

std::string FormatValue(const Entry& e) {
  if (e.line) return *e.line;
  if (e.raw) return *e.raw;
  const RegValue& v = e.value;
  switch (v.type) {
    case RegType::kText:
      if (NeedsHexText(v.text)) return "hex(1):" + HexList(v.text + std::string(1, '\0'));
      return Quote(v.text);
    case RegType::kExpandText: return "hex(2):" + HexList(v.text + std::string(1, '\0'));
    case RegType::kMultiText: {
      std::string bytes;
      for (const auto& s : v.multi) {
        bytes += s;
        bytes.push_back('\0');
      }
      bytes.push_back('\0');
      return "hex(7):" + HexList(bytes);
    }
    case RegType::kNumber: {
      char buf[20];
      std::snprintf(buf, sizeof buf, "dword:%08x", v.number);
      return buf;
    }
  }
  return "\"\"";
}

std::string FormatRegFile(const RegFile& file, RegHive hive) {
  std::string out = "REGEDIT4\n";
  for (const auto& line : file.preamble) out += line + "\n";
  for (const auto& k : file.keys) {
    out += "\n";
    if (k.header) {
      out += *k.header;
    } else {
      out += "[";
      out += HiveName(hive);
      if (!k.path.empty()) {
        out.push_back('\\');
        out += k.path;
      }
      out += "]";
    }
    out += "\n";
    for (const auto& e : k.values) {
      if (!e.line) {
        out += e.name.empty() ? std::string("@") : Quote(e.name);
        out.push_back('=');
      }
      out += FormatValue(e);
      out.push_back('\n');
    }
  }
  return out;
}

// The file as it stands. A missing file is an empty registry; one that exists but cannot be
// read is damage (a writer must not replace what it could not read).
RegFile LoadRegFile(RegHive hive) {
  const std::string path = RegistryFilePath(hive);
  std::string text;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    RegFile file;
    if (errno != ENOENT && errno != ENOTDIR)
      file.damage = std::string("the file cannot be read (") + std::strerror(errno) + ")";
    return file;
  }
  if (!ReadAllFromFd(fd.get(), &text, kMaxRegistryFile)) {
    RegFile file;
    file.damage = "the file cannot be read (too large, or a read error)";
    return file;
  }
  return ParseRegFile(text, hive);
}

std::string ParentOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// Runs `change` on the file's current contents under the writers' lock and writes the result
// back atomically when `change` returns true.
template <typename Fn>
bool ModifyRegFile(RegHive hive, Fn change) {
  const std::string path = RegistryFilePath(hive);
  CreateDirectoryChain(ParentOf(path));
  UniqueFd lock(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!lock) return false;
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  RegFile file = LoadRegFile(hive);
  if (!file.damage.empty()) return false;  // what could not be read would be lost
  if (!change(file)) return false;
  return WriteFileAtomically(path, FormatRegFile(file, hive), path + ".tmp", 0644);
}

bool IsBelow(std::string_view path, std::string_view ancestor) {
  return path.size() > ancestor.size() && path[ancestor.size()] == '\\' &&
         EqualsNoCase(path.substr(0, ancestor.size()), ancestor);
}

}  // namespace

std::string RegistryFilePath(RegHive hive) {
  if (hive == RegHive::kLocalMachine) {
    if (const char* p = std::getenv("PONDREL_REGISTRY"); p && *p) return p;
    return "/etc/pondrel/system.reg";
  }
  if (const char* p = std::getenv("PONDREL_USER_REGISTRY"); p && *p) return p;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x)
    return std::string(x) + "/pondrel/user.reg";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.config/pondrel/user.reg";
}

bool RegistryKey::Open(std::string_view key) {
  Close();
  std::string path = NormalizeKey(key);
  RegFile file = LoadRegFile(hive_);
  if (!file.Find(path)) return false;
  key_ = path;
  open_ = true;
  return true;
}

bool RegistryKey::OpenRead(std::string_view key) { return Open(key); }
bool RegistryKey::OpenAll(std::string_view key) { return Open(key); }

void RegistryKey::Close() {
  open_ = false;
  key_.clear();
}

bool RegistryKey::ReadValue(std::string_view name, RegValue* out) const {
  if (!open_) return false;
  RegFile file = LoadRegFile(hive_);
  Key* k = file.Find(key_);
  if (!k) return false;
  for (const auto& e : k->values) {
    if (IsValueNamed(e, name) && !e.raw) {
      *out = e.value;
      return true;
    }
  }
  return false;
}

bool RegistryKey::ReadText(std::string_view name, std::string* out) const {
  RegValue v;
  if (!ReadValue(name, &v) || (v.type != RegType::kText && v.type != RegType::kExpandText))
    return false;
  *out = v.text;
  return true;
}

bool RegistryKey::ReadText(std::string_view name, char* buf, std::size_t size) const {
  if (!buf || size == 0) return false;
  std::string text;
  if (!ReadText(name, &text) || text.size() + 1 > size) return false;
  return CopyCut(buf, size, text);
}

bool RegistryKey::ReadNumber(std::string_view name, std::uint32_t* out) const {
  RegValue v;
  if (!ReadValue(name, &v) || v.type != RegType::kNumber) return false;
  *out = v.number;
  return true;
}

bool RegistryKey::ReadMultiText(std::string_view name, std::vector<std::string>* out) const {
  RegValue v;
  if (!ReadValue(name, &v) || v.type != RegType::kMultiText) return false;
  *out = v.multi;
  return true;
}

std::vector<std::string> RegistryKey::ValueNames() const {
  std::vector<std::string> names;
  if (!open_) return names;
  RegFile file = LoadRegFile(hive_);
  if (Key* k = file.Find(key_))
    for (const auto& e : k->values)
      if (!e.line) names.push_back(e.name);
  return names;
}

bool RegistryKey::WriteValue(std::string_view name, const RegValue& value) {
  if (!open_) return false;
  const std::string key = key_;
  return ModifyRegFile(hive_, [&](RegFile& file) {
    Key& k = file.Ensure(key);
    for (auto& e : k.values) {
      if (IsValueNamed(e, name)) {
        e.value = value;
        e.raw.reset();
        return true;
      }
    }
    k.values.push_back(Entry{std::string(name), value, std::nullopt, std::nullopt});
    return true;
  });
}

bool RegistryKey::WriteText(std::string_view name, std::string_view text) {
  RegValue v;
  v.type = RegType::kText;
  v.text = std::string(text);
  return WriteValue(name, v);
}

bool RegistryKey::WriteExpandText(std::string_view name, std::string_view text) {
  RegValue v;
  v.type = RegType::kExpandText;
  v.text = std::string(text);
  return WriteValue(name, v);
}

bool RegistryKey::WriteMultiText(std::string_view name, const std::vector<std::string>& items) {
  RegValue v;
  v.type = RegType::kMultiText;
  v.multi = items;
  return WriteValue(name, v);
}

bool RegistryKey::WriteNumber(std::string_view name, std::uint32_t value) {
  RegValue v;
  v.type = RegType::kNumber;
  v.number = value;
  return WriteValue(name, v);
}

bool RegistryKey::DeleteValue(std::string_view name) {
  if (!open_) return false;
  const std::string key = key_;
  bool found = false;
  bool written = ModifyRegFile(hive_, [&](RegFile& file) {
    Key* k = file.Find(key);
    if (!k) return false;
    for (auto it = k->values.begin(); it != k->values.end(); ++it) {
      if (IsValueNamed(*it, name)) {
        k->values.erase(it);
        found = true;
        return true;
      }
    }
    return false;
  });
  return written && found;
}

bool RegistryKey::CreatePath(std::string_view key, RegHive hive) {
  if (key.size() >= kMaxKeyPath) return false;
  std::string path = NormalizeKey(key);
  if (path.empty()) return false;
  return ModifyRegFile(hive, [&](RegFile& file) {
    std::size_t pos = 0;
    for (;;) {
      std::size_t slash = path.find('\\', pos);
      std::string level = path.substr(0, slash);
      if (level.empty() || level.back() == '\\') return false;  // an empty level: "a\\\\b"
      file.Ensure(level);
      if (slash == std::string::npos) return true;
      pos = slash + 1;
    }
  });
}

bool RegistryKey::DeleteKey(std::string_view key, RegHive hive) {
  std::string path = NormalizeKey(key);
  if (path.empty()) return false;
  return ModifyRegFile(hive, [&](RegFile& file) {
    std::size_t before = file.keys.size();
    std::erase_if(file.keys, [&](const Key& k) {
      return !k.header && (EqualsNoCase(k.path, path) || IsBelow(k.path, path));
    });
    return file.keys.size() != before;
  });
}

bool RegistryKey::KeyExists(std::string_view key, RegHive hive) {
  RegFile file = LoadRegFile(hive);
  return file.Find(NormalizeKey(key)) != nullptr;
}

std::vector<std::string> RegistryKey::SubKeyNames(std::string_view key, RegHive hive) {
  std::string path = NormalizeKey(key);
  std::vector<std::string> names;
  for (const auto& k : LoadRegFile(hive).keys) {
    if (k.header || !IsBelow(k.path, path)) continue;
    std::string rest = k.path.substr(path.size() + 1);
    if (rest.find('\\') == std::string::npos) names.push_back(rest);
  }
  return names;
}

std::string RegistryFileDamage(RegHive hive) { return LoadRegFile(hive).damage; }

std::string ReadUsableRootDir(std::string* problem) {
  std::string root = ReadRootDir();
  std::string why;
  const std::string where = std::string("under HKEY_LOCAL_MACHINE\\") +
                            std::string(kSettingsKey, sizeof kSettingsKey - 2);
  if (root.empty()) {
    const RegFile reg = LoadRegFile(RegHive::kLocalMachine);
    std::string text;
    RegistryKey key;
    if (!reg.damage.empty()) {
      why = "no installation directory: \"ROOT\" is not set (" + reg.damage + ")";
    } else if (!FileExists(RegistryFilePath(RegHive::kLocalMachine))) {
      why = "no installation directory: \"ROOT\" is not set (no such registry file)";
    } else if (key.OpenRead(kSettingsKey) && key.ReadText("ROOT", &text) && !text.empty()) {
      why = "no installation directory: \"ROOT\" " + where + " is longer than " +
            std::to_string(kRootBufferSize - 1) + " characters";
    } else {
      why = "no installation directory: \"ROOT\" is not set " + where;
    }
  } else if (root.front() != '/') {
    why = "the installation directory \"ROOT\" " + where + " is \"" + root +
          "\", not an absolute path (it must begin with \"/\")";
    root.clear();
  }
  if (problem) *problem = why;
  return root;
}

std::string ReadRootDir() {
  RegistryKey key;
  if (!key.OpenRead(kSettingsKey)) return {};
  char buf[kRootBufferSize];
  if (!key.ReadText("ROOT", buf, sizeof buf)) return {};
  std::string root = buf;
  if (!root.empty() && (root.back() == '\\' || root.back() == '/')) root.pop_back();
  return root;
}

}  // namespace pondrel
