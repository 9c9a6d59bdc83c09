#include "common/runtime_dir.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace pondrel {
namespace {

constexpr char kMailslotPrefix[] = "\\\\.\\mailslot\\";

std::string OctalMode(mode_t mode) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

bool Refuse(std::string* error, const std::string& dir, const std::string& why) {
  if (error) *error = "the runtime directory " + dir + " " + why;
  return false;
}

// Checks the directory itself (and a "mailslot" folder inside, when present).
bool CheckDir(const std::string& dir, std::string* error) {
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) {
    if (errno == ENOENT) return Refuse(error, dir, "does not exist (is the service installed?)");
    return Refuse(error, dir, std::string("cannot be examined: ") + std::strerror(errno));
  }
  if (!S_ISDIR(st.st_mode)) return Refuse(error, dir, "is not a directory");
  const uid_t me = ::geteuid();
  if (st.st_uid != 0 && st.st_uid != me) {
    return Refuse(error, dir,
                  "belongs to user id " + std::to_string(st.st_uid) + "; only root or user id " +
                      std::to_string(me) + " may own it");
  }
  if (st.st_mode & S_IRWXO) {
    return Refuse(
        error, dir,
        "is open to other users (mode " + OctalMode(st.st_mode) + "); it must be 2770 or tighter");
  }
  if (::access(dir.c_str(), R_OK | W_OK | X_OK) != 0) {
    const int err = errno;
    std::string group_name = std::to_string(st.st_gid);
    if (const struct group* g = ::getgrgid(st.st_gid)) group_name = g->gr_name;
    return Refuse(error, dir,
                  "cannot be used by this user (" + std::string(std::strerror(err)) +
                      "); only root and members of the group \"" + group_name + "\" may use it");
  }
  return true;
}

std::mutex g_report_lock;
std::set<std::string>* g_reported = nullptr;

}  // namespace

std::string RuntimeDir() {
  const char* v = std::getenv(kRuntimeDirVar);
  std::string dir = v && *v ? v : kDefaultRuntimeDir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

bool CheckRuntimeDir(std::string* error) { return CheckDir(RuntimeDir(), error); }

bool RuntimeDirRefused(std::string* error) {
  const std::string dir = RuntimeDir();
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0 && errno == ENOENT) return false;
  return !CheckDir(dir, error);
}

bool PrepareRuntimeDir(std::string* error) {
  const std::string dir = RuntimeDir();
  if (::mkdir(dir.c_str(), 02770) == 0) {
    ::chmod(dir.c_str(), 02770);  // the umask may have taken bits away
    if (::geteuid() == 0 && dir == kDefaultRuntimeDir) {
      if (const group* g = ::getgrnam(kRuntimeGroup)) {
        if (::chown(dir.c_str(), 0, g->gr_gid) != 0) {
          // Kept root's own group: tighter, never wider.
        }
      } else {
        ::chmod(dir.c_str(), 0700);  // no group to share it with
      }
    }
  }
  return CheckDir(dir, error);
}

void ReportRuntimeDirProblem(const std::string& error) {
  std::lock_guard<std::mutex> guard(g_report_lock);
  if (!g_reported) g_reported = new std::set<std::string>;  // lives as long as the process
  if (!g_reported->insert(error).second) return;
  std::fprintf(stderr, "pondrel: %s\n", error.c_str());
}

bool UsableObjectName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::string ObjectLockPath(std::string_view object_name) {
  return RuntimeDir() + "/" + std::string(object_name) + ".lock";
}

std::string MailslotSocketPath(std::string_view mailslot_name) {
  std::string_view rest = mailslot_name;
  const std::string_view prefix = kMailslotPrefix;
  if (rest.size() >= prefix.size()) {
    bool same = true;
    for (std::size_t i = 0; i < prefix.size() && same; ++i)
      same = std::tolower(static_cast<unsigned char>(rest[i])) ==
             std::tolower(static_cast<unsigned char>(prefix[i]));
    if (same) rest.remove_prefix(prefix.size());
  }
  std::string file(rest);
  for (char& c : file) {
    if (c == '\\') c = '.';
    if (c == '/') c = '_';  // never a path of its own
  }
  if (!UsableObjectName(file)) file = "_" + file;
  return RuntimeDir() + "/mailslot/" + file;
}

bool TrustedSender(uid_t uid, gid_t gid) {
  if (uid == 0 || uid == ::geteuid()) return true;
  struct stat st;
  if (::stat(RuntimeDir().c_str(), &st) != 0) return false;
  if (gid == st.st_gid) return true;
  // Supplementary membership, looked up once per user and directory group.
  static std::mutex lock;
  static std::map<std::pair<uid_t, gid_t>, bool>* cache =
      new std::map<std::pair<uid_t, gid_t>, bool>;
  std::lock_guard<std::mutex> guard(lock);
  auto key = std::make_pair(uid, st.st_gid);
  if (auto it = cache->find(key); it != cache->end()) return it->second;
  bool member = false;
  std::vector<char> buf(16384);
  passwd pw;
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found) {
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) {
      groups.resize(static_cast<std::size_t>(count));
      ::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count);
    }
    for (int i = 0; i < count && i < static_cast<int>(groups.size()); ++i)
      if (groups[static_cast<std::size_t>(i)] == st.st_gid) member = true;
  }
  (*cache)[key] = member;
  return member;
}

}  // namespace pondrel
