#include "camsim/picture_file.h"

#include <algorithm>

namespace pondrel::camsim {
namespace {

constexpr std::size_t kMaxSegmentPayload = 65533;  // a segment length field counts itself

void Put16(std::string* out, std::uint16_t v) {
  out->push_back(static_cast<char>(v >> 8));
  out->push_back(static_cast<char>(v & 0xFF));
}

void Put32(std::string* out, std::uint32_t v) {
  Put16(out, static_cast<std::uint16_t>(v >> 16));
  Put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
}

void PutMarker(std::string* out, std::uint8_t marker) {
  out->push_back(static_cast<char>(0xFF));
  out->push_back(static_cast<char>(marker));
}

void PutSegment(std::string* out, std::uint8_t marker, const std::string& payload) {
  PutMarker(out, marker);
  Put16(out, static_cast<std::uint16_t>(payload.size() + 2));
  out->append(payload);
}

// Tables, frame, scan and entropy-coded data of a flat grey picture. Both Huffman tables hold
// one code of length 1 ("0"): DC difference category 0 and end-of-block. Each block is thus
// two zero bits; the last byte is padded with one bits.
std::string ImageBody(std::uint16_t width, std::uint16_t height) {
  std::string out;
  std::string dqt(1, '\0');
  dqt.append(64, '\x01');
  PutSegment(&out, 0xDB, dqt);

  std::string sof;
  sof.push_back(8);  // sample precision
  Put16(&sof, height);
  Put16(&sof, width);
  sof.append({'\x01', '\x01', '\x11', '\x00'});  // one component, id 1, 1x1 sampling, table 0
  PutSegment(&out, 0xC0, sof);

  for (char table_class : {'\x00', '\x10'}) {
    std::string dht(1, table_class);
    dht.push_back('\x01');
    dht.append(15, '\0');
    dht.push_back('\0');  // the symbol: category 0 (DC) or end-of-block (AC)
    PutSegment(&out, 0xC4, dht);
  }

  PutSegment(&out, 0xDA, std::string{'\x01', '\x01', '\x00', '\x00', '\x3F', '\x00'});

  const std::size_t blocks =
      static_cast<std::size_t>((width + 7) / 8) * static_cast<std::size_t>((height + 7) / 8);
  const std::size_t bits = blocks * 2;
  out.append(bits / 8, '\0');
  if (bits % 8 != 0) out.push_back(static_cast<char>(0xFF >> (bits % 8)));
  PutMarker(&out, 0xD9);
  return out;
}

}  // namespace

std::string EncodeHeaderPayload(const PictureHeaderFields& h) {
  std::string p = "KV";
  p.push_back(static_cast<char>(h.trigger));
  p.push_back(static_cast<char>(h.camera));
  Put16(&p, h.pan);
  Put16(&p, h.tilt);
  Put16(&p, h.zoom);
  Put16(&p, h.brightness);
  Put32(&p, h.record_time);
  Put16(&p, static_cast<std::uint16_t>(h.zone_offset));
  Put16(&p, 0);
  Put32(&p, 0);
  Put32(&p, 0);
  Put16(&p, h.extension);
  // A camera without the extension makes 320 x 240 pictures and says so.
  Put16(&p, h.extension != 0 ? h.width : 320);
  Put16(&p, h.extension != 0 ? h.height : 240);
  p.append(kHeaderPayloadSize - p.size(), '\0');
  return p;
}

std::string BuildPictureFile(const PictureHeaderFields& h, const std::string& label,
                             std::size_t size) {
  const std::uint16_t width = h.extension != 0 ? h.width : 320;
  const std::uint16_t height = h.extension != 0 ? h.height : 240;

  std::string head;
  PutMarker(&head, 0xD8);
  PutSegment(&head, 0xE0, EncodeHeaderPayload(h));
  const std::string body =
      ImageBody(std::max<std::uint16_t>(width, 1), std::max<std::uint16_t>(height, 1));

  // A short label always fits the first comment segment, however the padding is split.
  const std::string text = label.substr(0, 1000);
  // Bytes available to the comment segments, their markers and lengths included.
  std::size_t room = text.size() + 4;
  if (size > head.size() + body.size() + room) room = size - head.size() - body.size();
  const std::size_t segments = (room + kMaxSegmentPayload + 3) / (kMaxSegmentPayload + 4);
  const std::size_t payload_total = room - 4 * segments;
  const std::size_t each = payload_total / segments;

  std::string out = head;
  out.reserve(head.size() + room + body.size());
  for (std::size_t i = 0; i < segments; ++i) {
    std::string payload;
    if (i == 0) {
      payload = text;
      payload.resize(payload_total - each * (segments - 1), ' ');
    } else {
      payload.assign(each, ' ');
    }
    PutSegment(&out, 0xFE, payload);
  }
  out.append(body);
  return out;
}

}  // namespace pondrel::camsim
