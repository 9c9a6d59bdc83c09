// The prp1 reader on arbitrary bytes: every record it accepts must survive encoding again,
// and every block that decompresses must come back byte for byte after compression.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "servers/srvcodec.h"
#include "servers/srvmgr.h"

using namespace pondrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);

  // As a whole profile file.
  std::size_t offset = 0;
  for (int n = 0; n < 64; ++n) {
    CKVSrvInfo rec;
    bool damaged = false;
    if (DecodeSrvFileRecord(in, &offset, kSrvMaskAll, &rec, &damaged) != SrvResult::SRV_OK) break;
    std::string again;
    if (EncodeSrvFileRecord(rec, &again) != SrvResult::SRV_OK) std::abort();
    std::size_t off2 = 0;
    CKVSrvInfo back;
    if (DecodeSrvFileRecord(again, &off2, kSrvMaskAll, &back, &damaged) != SrvResult::SRV_OK)
      std::abort();
    if (SerializeSrvRecord(back) != SerializeSrvRecord(rec)) std::abort();
  }

  // As one compressed block.
  std::string plain;
  if (DecompressSrvRecord(in, &plain, 1u << 16) && !plain.empty() && plain.size() < 65536) {
    std::string block, back;
    if (!CompressSrvRecord(plain, &block) || !DecompressSrvRecord(block, &back, 1u << 16) ||
        back != plain)
      std::abort();
  }

  // As a serialised record with every mask bit pattern the first bytes give.
  if (size >= 2) {
    CKVSrvInfo rec;
    rec.Clear();
    (void)ParseSrvRecord(in.substr(2), static_cast<std::uint16_t>(data[0] | (data[1] << 8)), &rec);
  }
  return 0;
}
