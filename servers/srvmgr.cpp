#include "servers/srvmgr.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "common/fs_util.h"
#include "common/named_object.h"
#include "common/registry.h"
#include "common/store_damage.h"
#include "common/unique_fd.h"
#include "servers/srvcodec.h"

namespace pondrel {

using enum SrvResult;

// What one pass of the internal reader saw of the file.
struct CKVSrvMgr::FileRead {
  bool exists = false;
  bool damaged = false;           // bytes after the last readable record could not be read
  std::size_t damage_offset = 0;  // where the unreadable bytes begin
  std::size_t readable = 0;       // records read before them
  std::string raw;                // the whole file as read (kept to save it aside when damaged)
};

namespace {

constexpr std::size_t kMaxPath = 259;
constexpr std::uint64_t kMaxProfileFile = 64u * 1024 * 1024;

// Reads the file into `raw`. 0 read; SRV_ERR_NOT_FOUND missing; SRV_ERR_READ otherwise.
SrvResult ReadRaw(const std::string& path, std::string* raw) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return errno == ENOENT ? SRV_ERR_NOT_FOUND : SRV_ERR_READ;
  fd.reset();
  if (!ReadWholeFile(path, raw, kMaxProfileFile)) return SRV_ERR_READ;
  return SRV_OK;
}

// What a damaged file lost, in words.
std::string DamageText(std::size_t size, std::size_t offset, std::size_t readable) {
  return "the last " + std::to_string(size - offset) + " bytes (from byte " +
         std::to_string(offset) + ", after " + std::to_string(readable) +
         (readable == 1 ? " readable server profile" : " readable server profiles") +
         ") could not be read; the server profiles stored there are missing";
}

}  // namespace

CKVSrvMgr::CKVSrvMgr() = default;
CKVSrvMgr::~CKVSrvMgr() { FreeAll(); }

bool CKVSrvMgr::Init() { return InitWithDirectory(ReadUsableRootDir()); }

bool CKVSrvMgr::InitWithDirectory(const std::string& root) {
  base_path_.clear();
  if (root.empty()) return false;
  std::string base = root;
  if (base.back() != '/' && base.back() != '\\') {
    if (base.size() + 1 > kMaxPath) return false;
    base.push_back('/');
  }
  if (base.size() + 4 > kMaxPath) return false;
  base += "prp";
  base_path_ = std::move(base);
  return true;
}

SrvResult CKVSrvMgr::ReadFileUnlocked(std::vector<CKVSrvInfo>* out, std::uint16_t mask,
                                      FileRead* info) const {
  out->clear();
  *info = FileRead{};
  if (base_path_.empty()) return SRV_ERR_READ;
  SrvResult rc = ReadRaw(DataFilePath(), &info->raw);
  if (rc == SRV_ERR_NOT_FOUND) return SRV_OK;  // no file: an empty store
  if (rc != SRV_OK) return rc;
  info->exists = true;
  std::size_t offset = 0;
  try {
    for (;;) {
      CKVSrvInfo rec;
      bool damaged = false;
      rc = DecodeSrvFileRecord(info->raw, &offset, mask, &rec, &damaged);
      if (rc == SRV_END_OF_FILE) {
        // A damaged tail ends the list; what precedes it is used.
        info->damaged = damaged;
        info->damage_offset = offset;
        info->readable = out->size();
        return SRV_OK;
      }
      if (rc != SRV_OK) {
        out->clear();
        return SRV_ERR_READ;  // the record reader could not copy
      }
      out->push_back(std::move(rec));
    }
  } catch (const std::bad_alloc&) {
    out->clear();
    return SRV_ERR_MEMORY;
  }
}

SrvResult CKVSrvMgr::RewriteUnlocked(const std::vector<CKVSrvInfo>& list, const FileRead& info) {
  std::string content;
  try {
    std::string one;
    for (const CKVSrvInfo& rec : list) {
      SrvResult rc = EncodeSrvFileRecord(rec, &one);
      if (rc != SRV_OK) return rc;
      content += one;
    }
  } catch (const std::bad_alloc&) {
    return SRV_ERR_MEMORY;
  }
  // Bytes the reader could not understand would vanish with this rewrite: keep the whole
  // damaged file aside first, and refuse the rewrite when that is impossible.
  if (info.damaged) {
    std::string copy;
    if (!KeepDamagedCopy(DataFilePath(), info.raw, kSrvFileMode, &copy)) return SRV_ERR_WRITE;
    damage_saved_ = true;
    damaged_copy_path_ = copy;
  }
  // prp2 is written, flushed and renamed over prp1: there is always a complete prp1.
  if (!WriteFileAtomically(DataFilePath(), content, TempFilePath(), kSrvFileMode))
    return SRV_ERR_WRITE;
  return SRV_OK;
}

SrvResult CKVSrvMgr::CheckConflicts(const std::vector<CKVSrvInfo>& list, const CKVSrvInfo& rec,
                                    const CKVSrvInfo* skip) const {
  for (const CKVSrvInfo& stored : list) {
    if (skip && stored.GetId() == skip->GetId()) continue;
    if (stored.GetServerName() == rec.GetServerName()) return SRV_ERR_NAME_EXISTS;
    if (ImageDirectoriesOverlap(rec.GetImageDirectory(), stored.GetImageDirectory()))
      return SRV_ERR_DIR_IN_USE;
  }
  return SRV_OK;
}

SrvResult CKVSrvMgr::LoadAll(bool* more, std::uint16_t mask) {
  FreeAll();
  if (more) *more = false;
  NamedLock lock(kSrvLockName);
  if (!lock.Lock(lock_interval_ms_, lock_attempts_)) return SRV_ERR_LOCK;
  FileRead info;
  SrvResult rc = ReadFileUnlocked(&list_, mask, &info);
  lock.Unlock();
  if (rc != SRV_OK) {
    list_.clear();
    return rc;
  }
  loaded_damaged_ = info.damaged;
  if (info.damaged) TellDamage(info.raw, info.damage_offset, info.readable);
  cursor_ = 0;
  if (more) *more = !list_.empty();
  return SRV_OK;
}

SrvResult CKVSrvMgr::GetNext(CKVSrvInfo* out, bool* more) {
  if (cursor_ >= list_.size()) {
    if (more) *more = false;
    return SRV_ERR_NOT_FOUND;
  }
  if (!out->Assign(list_[cursor_])) {
    if (more) *more = true;
    return SRV_ERR_MEMORY;
  }
  ++cursor_;
  if (more) *more = cursor_ < list_.size();
  return SRV_OK;
}

SrvResult CKVSrvMgr::FindInLoaded(const Guid& id, CKVSrvInfo* out) const {
  for (const CKVSrvInfo& rec : list_) {
    if (rec.GetId() == id) return out->Assign(rec) ? SRV_OK : SRV_ERR_MEMORY;
  }
  return SRV_ERR_NOT_FOUND;
}

void CKVSrvMgr::FreeAll() {
  list_.clear();
  list_.shrink_to_fit();
  cursor_ = 0;
  loaded_damaged_ = false;
}

SrvResult CKVSrvMgr::FindById(const Guid& id, CKVSrvInfo* out, std::uint16_t mask) {
  if (base_path_.empty()) return SRV_ERR_READ;
  NamedLock lock(kSrvLockName);
  if (!lock.Lock(lock_interval_ms_, lock_attempts_)) return SRV_ERR_LOCK;
  std::string raw;
  SrvResult rc = ReadRaw(DataFilePath(), &raw);
  lock.Unlock();
  if (rc != SRV_OK) return rc;  // SRV_ERR_NOT_FOUND without a file, else SRV_ERR_READ
  std::size_t offset = 0;
  for (std::size_t readable = 0;; ++readable) {
    CKVSrvInfo rec;
    bool damaged = false;
    rc = DecodeSrvFileRecord(raw, &offset, mask, &rec, &damaged);
    if (rc == SRV_END_OF_FILE) {
      // The profile may be among those that the damage took: say so.
      if (damaged) TellDamage(raw, offset, readable);
      return SRV_ERR_NOT_FOUND;
    }
    if (rc != SRV_OK) return SRV_ERR_READ;
    if (rec.GetId() == id) return out->Assign(rec) ? SRV_OK : SRV_ERR_MEMORY;
  }
}

void CKVSrvMgr::TellDamage(const std::string& raw, std::size_t offset, std::size_t readable) {
  StoreDamage damage;
  damage.file = DataFilePath();
  damage.skipped = DamageText(raw.size(), offset, readable);
  // Best effort for a reader; an editor insists on its copy before it rewrites.
  if (!KeepDamagedCopy(damage.file, raw, kSrvFileMode, &damage.copy)) damage.copy.clear();
  ReportStoreDamage(damage);
}

template <typename Edit>
SrvResult CKVSrvMgr::EditLocked(Edit edit) {
  NamedLock lock(kSrvLockName);
  if (!lock.Lock(lock_interval_ms_, lock_attempts_)) return SRV_ERR_LOCK;
  NamedLockGuard hold(lock);
  std::vector<CKVSrvInfo> list;
  FileRead info;
  SrvResult rc = ReadFileUnlocked(&list, kSrvMaskAll, &info);
  if (rc != SRV_OK) return rc;
  if (info.damaged) TellDamage(info.raw, info.damage_offset, info.readable);
  rc = edit(list);
  if (rc != SRV_OK) return rc;
  return RewriteUnlocked(list, info);
}

SrvResult CKVSrvMgr::Add(CKVSrvInfo* record) {
  damage_saved_ = false;
  damaged_copy_path_.clear();
  if (!record->Validate().ok()) return SRV_ERR_INVALID;
  Guid id = record->GetId();
  const SrvResult rc = EditLocked([&](std::vector<CKVSrvInfo>& list) {
    SrvResult conflict = CheckConflicts(list, *record, nullptr);
    if (conflict != SRV_OK) return conflict;
    try {
      list.emplace_back();
    } catch (const std::bad_alloc&) {
      return SRV_ERR_MEMORY;
    }
    CKVSrvInfo& node = list.back();
    if (!node.Assign(*record)) return SRV_ERR_MEMORY;
    if (id.IsZero()) {
      if (!CreateGuid(&id) || id.IsZero()) return SRV_ERR_GUID;
      node.SetId(id);
    }
    return SRV_OK;
  });
  if (rc == SRV_OK) record->SetId(id);
  return rc;
}

SrvResult CKVSrvMgr::Modify(const CKVSrvInfo& record) {
  damage_saved_ = false;
  damaged_copy_path_.clear();
  if (record.GetId().IsZero()) return SRV_ERR_NO_ID;
  if (!record.Validate().ok()) return SRV_ERR_INVALID;
  return EditLocked([&](std::vector<CKVSrvInfo>& list) {
    SrvResult conflict = CheckConflicts(list, record, &record);
    if (conflict != SRV_OK) return conflict;
    for (CKVSrvInfo& stored : list) {
      if (stored.GetId() == record.GetId()) return stored.Assign(record) ? SRV_OK : SRV_ERR_MEMORY;
    }
    return SRV_ERR_NOT_FOUND;
  });
}

SrvResult CKVSrvMgr::Delete(const Guid& id) {
  damage_saved_ = false;
  damaged_copy_path_.clear();
  return EditLocked([&](std::vector<CKVSrvInfo>& list) {
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const CKVSrvInfo& r) { return r.GetId() == id; });
    if (it == list.end()) return SRV_ERR_NOT_FOUND;
    list.erase(it);
    return SRV_OK;
  });
}

}  // namespace pondrel
