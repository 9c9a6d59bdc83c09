// File-system helpers every deliverable needs: directory chains, atomic replacement, free
// space, network file systems and removal that never leaves the tree it removes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace pondrel {

// Writes all of `data` to `fd`, resuming after short writes and interruptions.
bool WriteAll(int fd, std::string_view data);

// Reads from `fd` to its end, appending to `out`. False on a read error or when `out` would
// grow past `max_bytes`.
bool ReadAllFromFd(int fd, std::string* out, std::uint64_t max_bytes = UINT64_MAX);

// The running program's own file, from /proc/self/exe ("" when unknown), and its directory
// ("." when unknown). Programs and libraries that travel together are looked up there.
std::string ProgramPath();
std::string ProgramDirectory();

bool IsExecutableFile(const std::string& path);
// The search for a program started without a path: the running program's own directory
// first, then PATH; with `only_dir`, that directory alone. A name with "/" is taken as it is.
// "" when not found.
std::string FindExecutable(std::string_view name, std::string_view only_dir = {});

// Points standard input, output and error at /dev/null (a process without a terminal).
void RedirectStdioToNull();

// Creates `path` and every missing parent. True when the path is a directory afterwards.
bool CreateDirectoryChain(const std::string& path);

// For tests: every atomic file replacement takes `ms` longer after its fsync, as a slow disk
// would (0, the default, adds nothing).
void SetSyncDelayForTest(int ms);

// Writes `data` to `tmp_path`, flushes it to disk, renames it over `path` and flushes the
// directory. At no moment is `path` missing or partial. `mode` applies to a new file.
bool WriteFileAtomically(const std::string& path, std::string_view data,
                         const std::string& tmp_path, mode_t mode = 0644);

// Reads a whole file. False when it cannot be opened or is larger than `max_bytes`.
bool ReadWholeFile(const std::string& path, std::string* out,
                   std::uint64_t max_bytes = 256u * 1024 * 1024);

// Free space available to the caller (f_bavail * f_frsize) and the volume's total size.
bool GetDiskSpace(const std::string& dir, std::uint64_t* free_bytes, std::uint64_t* total_bytes);

// Whether `path`, or its nearest existing ancestor, lies on a network file system
// (NFS, SMB/CIFS, 9P, AFS, Coda, network FUSE mounts such as sshfs).
bool IsOnNetworkFileSystem(const std::string& path);

// Removes `path` and everything below it. A symbolic link is removed as a link, never
// followed, so nothing outside `path` is touched. True when nothing is left.
bool RemoveTree(const std::string& path);

bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);

// Joins with exactly one "/" between the parts.
std::string JoinPath(std::string_view a, std::string_view b);

}  // namespace pondrel
