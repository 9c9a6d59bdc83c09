#include "servers/srvcodec.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "servers/srvmgr.h"

namespace pondrel {

using enum SrvResult;
namespace {

// Bit length of a rank: 1 for 0 and 1, 2 for 2..3, ... 8 for 128..255.
int RankBits(unsigned rank) {
  int bits = 1;
  while ((rank >> bits) != 0) ++bits;
  return bits;
}

void PutU16(std::string* out, std::uint16_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>(v >> 8));
}

void PutString(std::string* out, const std::string& s) {
  // The stored length counts the terminating zero, which is stored too.
  PutU16(out, static_cast<std::uint16_t>(s.size() + 1));
  out->append(s);
  out->push_back('\0');
}

class BitWriter {
 public:
  explicit BitWriter(std::string* out) : out_(out) {}
  void Put(unsigned bit) {
    if (bit_ == 0) out_->push_back('\0');
    if (bit)
      out_->back() = static_cast<char>(static_cast<unsigned char>(out_->back()) | (1u << bit_));
    last_bit_ = bit_;
    bit_ = (bit_ + 1) & 7;
  }
  int last_bit() const { return last_bit_; }

 private:
  std::string* out_;
  int bit_ = 0;
  int last_bit_ = 0;
};

}  // namespace

std::string SerializeSrvRecord(const CKVSrvInfo& info) {
  std::string out;
  out.reserve(kSrvFullRecordSize);
  out.append(reinterpret_cast<const char*>(info.GetId().bytes.data()), 16);
  PutString(&out, info.GetServerName());
  PutString(&out, info.GetImageDirectory());
  PutString(&out, info.GetHostName());
  PutU16(&out, info.GetHttpPort());
  PutString(&out, info.GetAdminAccount());
  PutString(&out, info.GetAdminPassword());
  out.push_back(static_cast<char>(info.GetUseProxy()));
  PutString(&out, info.GetProxyHost());
  PutU16(&out, info.GetProxyPort());
  out.push_back(static_cast<char>(info.GetUsePpp()));
  PutString(&out, info.GetPppConnectionName());
  PutString(&out, info.GetPppAccount());
  PutString(&out, info.GetPppPassword());
  out.push_back(static_cast<char>(info.GetDeleteImagesOnServer()));
  PutString(&out, info.GetSettingsPageUrl());
  return out;
}

SrvResult ParseSrvRecord(std::string_view data, std::uint16_t mask, CKVSrvInfo* out) {
  std::size_t pos = 0;
  auto selected = [mask](std::uint16_t field) { return (mask & SrvMaskBit(field)) != 0; };
  auto take_u16 = [&](std::uint16_t* v) {
    if (data.size() - pos < 2) return false;
    *v = static_cast<std::uint16_t>(static_cast<unsigned char>(data[pos]) |
                                    (static_cast<unsigned char>(data[pos + 1]) << 8));
    pos += 2;
    return true;
  };
  auto take_u8 = [&](std::uint8_t* v) {
    if (data.size() - pos < 1) return false;
    *v = static_cast<std::uint8_t>(data[pos++]);
    return true;
  };
  // A string whose stated length runs past the data makes the record malformed. The text is
  // what precedes the stored zero (or all L bytes when there is none). Setter results are
  // ignored: a stored value that breaks a rule leaves the field cleared.
  auto take_string = [&](std::uint16_t field, CheckResult (CKVSrvInfo::*setter)(std::string_view)) {
    std::uint16_t len = 0;
    if (!take_u16(&len)) return false;
    if (data.size() - pos < len) return false;
    std::string_view s = data.substr(pos, len);
    pos += len;
    if (len != 0 && selected(field)) {
      std::size_t zero = s.find('\0');
      if (zero != std::string_view::npos) s = s.substr(0, zero);
      if (!s.empty()) (void)(out->*setter)(s);
    }
    return true;
  };

  if (data.size() < 16) return SRV_END_OF_FILE;
  out->SetId(reinterpret_cast<const std::uint8_t*>(data.data()));
  pos = 16;
  std::uint16_t u16 = 0;
  std::uint8_t u8 = 0;
  if (!take_string(FLD_SERVER_NAME, &CKVSrvInfo::SetServerName)) return SRV_END_OF_FILE;
  if (!take_string(FLD_IMAGE_DIRECTORY, &CKVSrvInfo::SetImageDirectory)) return SRV_END_OF_FILE;
  if (!take_string(FLD_HOST_NAME, &CKVSrvInfo::SetHostName)) return SRV_END_OF_FILE;
  if (!take_u16(&u16)) return SRV_END_OF_FILE;
  if (selected(FLD_HTTP_PORT)) out->SetHttpPortRaw(u16);
  if (!take_string(FLD_ADMIN_ACCOUNT, &CKVSrvInfo::SetAdminAccount)) return SRV_END_OF_FILE;
  if (!take_string(FLD_ADMIN_PASSWORD, &CKVSrvInfo::SetAdminPassword)) return SRV_END_OF_FILE;
  if (!take_u8(&u8)) return SRV_END_OF_FILE;
  if (selected(FLD_USE_PROXY)) out->SetUseProxy(u8);
  if (!take_string(FLD_PROXY_HOST, &CKVSrvInfo::SetProxyHost)) return SRV_END_OF_FILE;
  if (!take_u16(&u16)) return SRV_END_OF_FILE;
  if (selected(FLD_PROXY_PORT)) out->SetProxyPortRaw(u16);
  if (!take_u8(&u8)) return SRV_END_OF_FILE;
  if (selected(FLD_USE_PPP)) out->SetUsePpp(u8);
  if (!take_string(FLD_PPP_CONNECTION_NAME, &CKVSrvInfo::SetPppConnectionName))
    return SRV_END_OF_FILE;
  if (!take_string(FLD_PPP_ACCOUNT, &CKVSrvInfo::SetPppAccount)) return SRV_END_OF_FILE;
  if (!take_string(FLD_PPP_PASSWORD, &CKVSrvInfo::SetPppPassword)) return SRV_END_OF_FILE;
  if (!take_u8(&u8)) return SRV_END_OF_FILE;
  if (selected(FLD_DELETE_IMAGES_ON_SERVER)) out->SetDeleteImagesOnServer(u8);
  if (!take_string(FLD_SETTINGS_PAGE_URL, &CKVSrvInfo::SetSettingsPageUrl)) return SRV_END_OF_FILE;
  return SRV_OK;
}

bool CompressSrvRecord(std::string_view in, std::string* out) {
  if (in.empty() || in.size() >= 65536) return false;
  try {
    // Run-length stage: (count - 1, byte) pairs, runs of at most 256.
    std::string pairs;
    pairs.reserve(in.size() * 2);
    for (std::size_t i = 0; i < in.size();) {
      std::size_t run = 1;
      while (i + run < in.size() && run < 256 && in[i + run] == in[i]) ++run;
      pairs.push_back(static_cast<char>(run - 1));
      pairs.push_back(in[i]);
      i += run;
    }
    // Rank the byte values by descending count; equal counts in ascending byte order.
    std::array<std::uint32_t, 256> count{};
    for (char c : pairs) ++count[static_cast<unsigned char>(c)];
    std::array<std::uint8_t, 256> table;
    for (int v = 0; v < 256; ++v) table[v] = static_cast<std::uint8_t>(v);
    std::stable_sort(table.begin(), table.end(),
                     [&count](std::uint8_t a, std::uint8_t b) { return count[a] > count[b]; });
    std::array<std::uint8_t, 256> rank{};
    for (int r = 0; r < 256; ++r) rank[table[r]] = static_cast<std::uint8_t>(r);

    std::string block;
    block.reserve(257 + pairs.size() * 2);
    block.push_back('\0');  // index of the last used bit, filled in below
    block.append(reinterpret_cast<const char*>(table.data()), 256);
    std::string stream;
    BitWriter bits(&stream);
    for (char c : pairs) {
      unsigned r = rank[static_cast<unsigned char>(c)];
      int len = RankBits(r);
      for (int i = 0; i < len - 1; ++i) bits.Put(1);
      bits.Put(0);
      for (int i = len - 1; i >= 0; --i) bits.Put((r >> i) & 1u);
    }
    block[0] = static_cast<char>(bits.last_bit());
    block.append(stream);
    *out = std::move(block);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool DecompressSrvRecord(std::string_view block, std::string* out, std::size_t max_out) {
  if (block.size() < kSrvBlockMin) return false;
  unsigned last_bit = static_cast<unsigned char>(block[0]);
  if (last_bit > 7) return false;
  const unsigned char* table = reinterpret_cast<const unsigned char*>(block.data()) + 1;
  const unsigned char* stream = table + 256;
  const std::size_t stream_bytes = block.size() - 257;
  const std::size_t total_bits = (stream_bytes - 1) * 8 + last_bit + 1;
  std::size_t bit = 0;
  auto next = [&]() -> unsigned {
    unsigned b = (stream[bit >> 3] >> (bit & 7)) & 1u;
    ++bit;
    return b;
  };

  std::string result;
  try {
    unsigned char pending = 0;
    bool have_count = false;
    while (bit < total_bits) {
      int ones = 0;
      for (;;) {
        if (bit >= total_bits) return false;  // cut inside the prefix
        if (next() == 0) break;
        if (++ones > 7) return false;
      }
      int len = ones + 1;
      if (total_bits - bit < static_cast<std::size_t>(len)) return false;  // cut inside the rank
      unsigned r = 0;
      for (int i = 0; i < len; ++i) r = (r << 1) | next();
      unsigned char value = table[r];
      if (!have_count) {
        pending = value;
        have_count = true;
      } else {
        std::size_t run = static_cast<std::size_t>(pending) + 1;
        if (result.size() + run > max_out) return false;
        result.append(run, static_cast<char>(value));
        have_count = false;
      }
    }
    if (have_count) return false;  // odd pair stream
    *out = std::move(result);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

SrvResult EncodeSrvFileRecord(const CKVSrvInfo& info, std::string* out) {
  std::string block;
  try {
    if (!CompressSrvRecord(SerializeSrvRecord(info), &block)) return SRV_ERR_MEMORY;
    if (block.size() > kSrvBlockMax) return SRV_ERR_MEMORY;
    out->clear();
    PutU16(out, static_cast<std::uint16_t>(block.size()));
    out->append(block);
  } catch (const std::bad_alloc&) {
    return SRV_ERR_MEMORY;
  }
  return SRV_OK;
}

SrvResult DecodeSrvFileRecord(std::string_view data, std::size_t* offset, std::uint16_t mask,
                              CKVSrvInfo* out, bool* damaged) {
  if (damaged) *damaged = false;
  std::size_t pos = *offset;
  if (pos >= data.size()) return SRV_END_OF_FILE;  // the clean end
  auto bad = [damaged]() {
    if (damaged) *damaged = true;
    return SRV_END_OF_FILE;
  };
  if (data.size() - pos < 2) return bad();
  std::size_t n =
      static_cast<unsigned char>(data[pos]) | (static_cast<unsigned char>(data[pos + 1]) << 8);
  if (n > kSrvBlockMax || data.size() - pos - 2 < n) return bad();
  std::string record;
  if (!DecompressSrvRecord(data.substr(pos + 2, n), &record, kSrvRecordMax - 1)) return bad();
  CKVSrvInfo scratch;
  scratch.Clear();
  if (ParseSrvRecord(record, mask, &scratch) != SRV_OK) return bad();
  if (!out->Assign(scratch)) return SRV_ERR_MEMORY;
  *offset = pos + 2 + n;
  return SRV_OK;
}

}  // namespace pondrel
