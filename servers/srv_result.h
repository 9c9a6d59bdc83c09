// The result of every operation of the profile store (CKVSrvMgr) and of its record codec.
#pragma once

namespace pondrel {

// The store's results. The numbers are the design's own (0 success, 1 memory, ... 11 no id):
// tools and logs that show a store result show ResultCode(result).
enum class [[nodiscard]] SrvResult : int{
    SRV_OK = 0,
    SRV_ERR_MEMORY = 1,       // out of memory, or a record could not be copied
    SRV_ERR_READ = 2,         // the profile file exists but cannot be opened or read
    SRV_ERR_WRITE = 3,        // the profile file cannot be written
    SRV_ERR_INVALID = 4,      // the record fails Validate
    SRV_END_OF_FILE = 5,      // end of file or malformed record (record reader only; never
                              // returned by a public operation)
    SRV_ERR_GUID = 6,         // a new identifier could not be created
    SRV_ERR_NOT_FOUND = 7,    // no profile with that identifier (also: no profile file)
    SRV_ERR_NAME_EXISTS = 8,  // another profile has the same server name
    SRV_ERR_DIR_IN_USE = 9,   // another profile's image directory is the same, a parent or a child
    SRV_ERR_LOCK = 10,        // the profile lock could not be taken in time
    SRV_ERR_NO_ID = 11,       // Modify was given a record whose id is all zero
};

constexpr int ResultCode(SrvResult r) { return static_cast<int>(r); }

}  // namespace pondrel
