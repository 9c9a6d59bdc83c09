// The on-disk form of a server profile in prp1: per record a 2-byte little-endian length N
// (at most 4096) and N bytes of compressed block; the block decompresses to the serialised
// record (shorter than 4096 bytes): the 16-byte id, then every field in record order, strings
// as a 16-bit length that counts the stored terminating zero, numbers as 2 bytes, flags as 1.
//
// The compression: run-length pairs (count-1, byte), then a code of rank-ordered byte values
// (rank k gets bit-length(k) bits, prefixed by L-1 one-bits and a zero-bit), packed from the
// least significant bit. Block = last-bit index (1 byte), rank table (256 bytes), bit stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "servers/srv_result.h"
#include "servers/srvinfo.h"

namespace pondrel {

inline constexpr std::size_t kSrvBlockMax = 4096;       // largest N in the length field
inline constexpr std::size_t kSrvRecordMax = 4096;      // serialised record must be shorter
inline constexpr std::size_t kSrvBlockMin = 258;        // index byte, table, one stream byte
inline constexpr std::size_t kSrvFullRecordSize = 980;  // every string at its limit

// The serialised record of `info` (all 16 fields).
std::string SerializeSrvRecord(const CKVSrvInfo& info);
// Applies the fields selected by `mask` from a serialised record to *out (which the caller
// has cleared); strings with a stored length of 0 and rejected setter values are skipped.
// SrvResult::SRV_OK, or SrvResult::SRV_END_OF_FILE when a field runs past the end of the data.
SrvResult ParseSrvRecord(std::string_view data, std::uint16_t mask, CKVSrvInfo* out);

// Compression of a serialised record. False for empty input or input of 65536 bytes or more.
bool CompressSrvRecord(std::string_view in, std::string* out);
// The exact inverse. False for a block shorter than 258 bytes, a code of more than 7
// leading ones, a stream that does not end exactly at the end of a code, or an odd pair
// stream. Output larger than `max_out` bytes also fails.
bool DecompressSrvRecord(std::string_view block, std::string* out, std::size_t max_out = 1u << 20);

// One on-disk record: length field and block (SrvResult::SRV_ERR_MEMORY when compression fails or
// the block would exceed 4096 bytes).
SrvResult EncodeSrvFileRecord(const CKVSrvInfo& info, std::string* out);
// Reads one on-disk record from `data` at *offset. SrvResult::SRV_OK (offset moved past it), or
// SrvResult::SRV_END_OF_FILE at the clean end (*offset == size) or at malformed bytes (offset
// unchanged; *damaged set when bytes remain that could not be read).
SrvResult DecodeSrvFileRecord(std::string_view data, std::size_t* offset, std::uint16_t mask,
                              CKVSrvInfo* out, bool* damaged);

}  // namespace pondrel
