// CKVSrvMgr: the store of camera server profiles, the file "prp1" in the installation
// directory ROOT, shared by the service, the downloader and the Task View under the profile
// lock "KVSrvMgr_Name_Mutex". Readers load the whole file (LoadAll) or look one profile up
// (FindById); the editors (Add, Modify, Delete) reload the file under the lock, check, and
// replace it atomically. Nothing is cached across instances.
//
// An instance is used by one thread. The lock is not re-entrant: never call a locking
// operation of one instance while another operation holds the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/guid.h"
#include "common/protocol.h"
#include "servers/srv_result.h"
#include "servers/srvinfo.h"

namespace pondrel {

// Field masks for the reading operations: bit n-1 selects field n; the id is always read.
// Fields that are not selected keep their cleared values.
inline constexpr std::uint16_t kSrvMaskAll = 0xFFFE;
inline constexpr std::uint16_t kSrvMaskName = 0x0002;
inline constexpr std::uint16_t kSrvMaskNameAndDir = 0x0006;
inline constexpr std::uint16_t kSrvMaskImageDirectory = 0x0004;
inline constexpr std::uint16_t kSrvMaskHostName = 0x0008;
inline constexpr std::uint16_t kSrvMaskConnection = 0x0400;
inline constexpr std::uint16_t kSrvMaskNameAndDeleteFlag = 0x4002;
inline constexpr std::uint16_t kSrvMaskServerList = 0x0D8A;
inline constexpr std::uint16_t SrvMaskBit(std::uint16_t field) {
  return static_cast<std::uint16_t>(1u << (field - 1));
}

inline constexpr int kSrvLockAttempts = 50;
inline constexpr int kSrvLockIntervalMs = 100;
// prp1 and prp2 are created with this mode (they hold passwords).
inline constexpr unsigned kSrvFileMode = 0660;
// A copy of a damaged prp1 is kept as "<prp1>.damaged" (".damaged.1", ... if taken by
// another damage; see common/store_damage.h).
inline constexpr char kSrvDamagedSuffix[] = ".damaged";

class CKVSrvMgr {
 public:
  CKVSrvMgr();
  CKVSrvMgr(const CKVSrvMgr&) = delete;
  CKVSrvMgr& operator=(const CKVSrvMgr&) = delete;
  virtual ~CKVSrvMgr();  // releases the loaded list

  // Builds the base path "<ROOT>/prp" from the registry's ROOT. False when ROOT is empty, not
  // an absolute path, or the path would be too long (259). Must succeed before any other operation.
  bool Init();
  // Same, from a given directory instead of ROOT (tests, tools).
  bool InitWithDirectory(const std::string& root);

  // Takes the lock, reads the whole file into the list (fields chosen by `mask`), releases
  // the lock and puts the cursor on the first profile; *more = the list is not empty.
  // A missing file gives an empty list and SrvResult::SRV_OK. SrvResult::SRV_ERR_READ when the file
  // cannot be opened, SrvResult::SRV_ERR_LOCK when the lock is not had in time. A damaged tail of
  // the file ends the list (LoadedFileDamaged() tells); the damage is reported to the process's
  // observer with a copy of the file kept aside (common/store_damage.h). Releases an earlier list
  // first.
  SrvResult LoadAll(bool* more, std::uint16_t mask = kSrvMaskAll);
  // Copies the profile at the cursor into *out and moves on; *more = another follows.
  // SrvResult::SRV_ERR_MEMORY if the copy fails (cursor unchanged); SrvResult::SRV_ERR_NOT_FOUND
  // past the end.
  SrvResult GetNext(CKVSrvInfo* out, bool* more);
  // Looks `id` up in the loaded list (no lock, no file access): SrvResult::SRV_OK with the copy,
  // SrvResult::SRV_ERR_MEMORY if the copy fails, SrvResult::SRV_ERR_NOT_FOUND if absent.
  SrvResult FindInLoaded(const Guid& id, CKVSrvInfo* out) const;
  // Releases the loaded list.
  void FreeAll();
  // The loaded profiles in file order (valid until FreeAll or the next LoadAll).
  const std::vector<CKVSrvInfo>& Loaded() const { return list_; }

  // Reads the file under the lock until `id` matches. SrvResult::SRV_OK and the copy;
  // SrvResult::SRV_ERR_NOT_FOUND if absent or no file; SrvResult::SRV_ERR_READ if the file cannot
  // be opened; SrvResult::SRV_ERR_LOCK. A search that ends at damaged bytes reports the damage as
  // LoadAll does.
  SrvResult FindById(const Guid& id, CKVSrvInfo* out, std::uint16_t mask = kSrvMaskAll);

  // Stores a new profile. SrvResult::SRV_ERR_INVALID (Validate fails), SrvResult::SRV_ERR_LOCK,
  // SrvResult::SRV_ERR_READ, SrvResult::SRV_ERR_NAME_EXISTS (same name, case-sensitive),
  // SrvResult::SRV_ERR_DIR_IN_USE (overlapping image directory, case-insensitive),
  // SrvResult::SRV_ERR_MEMORY, SrvResult::SRV_ERR_GUID, SrvResult::SRV_ERR_WRITE. On success
  // *record carries the identifier it was stored under (a fresh one when its id was zero).
  SrvResult Add(CKVSrvInfo* record);
  // Replaces the stored profile with the same id. SrvResult::SRV_ERR_NO_ID (id all zero, checked
  // first, no file access), SrvResult::SRV_ERR_INVALID, SrvResult::SRV_ERR_LOCK,
  // SrvResult::SRV_ERR_READ, SrvResult::SRV_ERR_NAME_EXISTS, SrvResult::SRV_ERR_DIR_IN_USE,
  // SrvResult::SRV_ERR_NOT_FOUND, SrvResult::SRV_ERR_MEMORY, SrvResult::SRV_ERR_WRITE.
  SrvResult Modify(const CKVSrvInfo& record);
  // Removes the stored profile with that id. SrvResult::SRV_ERR_NOT_FOUND, SrvResult::SRV_ERR_LOCK,
  // SrvResult::SRV_ERR_READ, SrvResult::SRV_ERR_WRITE.
  SrvResult Delete(const Guid& id);

  // Add, Modify and Delete never silently drop a damaged tail of prp1: before the rewrite
  // the whole damaged file is copied aside (DamagedCopyPath()), and DamageSaved() is true
  // after that operation (it is reset by every editing operation). When the copy cannot be
  // made, the operation fails with SrvResult::SRV_ERR_WRITE and prp1 stays as it was.
  bool DamageSaved() const { return damage_saved_; }
  const std::string& DamagedCopyPath() const { return damaged_copy_path_; }
  // Whether the last LoadAll stopped at unreadable bytes before the end of the file.
  bool LoadedFileDamaged() const { return loaded_damaged_; }

  // The lock's retry policy: 50 attempts at 100 ms unless changed (tests may shorten it).
  void SetLockRetry(int attempts, int interval_ms) {
    lock_attempts_ = attempts;
    lock_interval_ms_ = interval_ms;
  }

  const std::string& BasePath() const { return base_path_; }  // "<ROOT>/prp"
  std::string DataFilePath() const { return base_path_ + "1"; }
  std::string TempFilePath() const { return base_path_ + "2"; }

 private:
  struct FileRead;  // result of one pass of the internal reader
  SrvResult ReadFileUnlocked(std::vector<CKVSrvInfo>* out, std::uint16_t mask,
                             FileRead* info) const;
  SrvResult RewriteUnlocked(const std::vector<CKVSrvInfo>& list, const FileRead& info);
  // The frame of every edit: take the lock, read all records, let `edit` change the list and
  // rewrite the file when it answers SrvResult::SRV_OK; any other answer ends the edit unwritten.
  template <typename Edit>
  SrvResult EditLocked(Edit edit);
  SrvResult CheckConflicts(const std::vector<CKVSrvInfo>& list, const CKVSrvInfo& rec,
                           const CKVSrvInfo* skip) const;
  void TellDamage(const std::string& raw, std::size_t offset, std::size_t readable);

  std::string base_path_;
  std::vector<CKVSrvInfo> list_;
  std::size_t cursor_ = 0;
  bool loaded_damaged_ = false;
  bool damage_saved_ = false;
  std::string damaged_copy_path_;
  int lock_attempts_ = kSrvLockAttempts;
  int lock_interval_ms_ = kSrvLockIntervalMs;
};

}  // namespace pondrel
