// pppd's log output, whatever a peer or a plugin makes it write: every complete line gives a
// note, a state is one of the link's steps, and an interface name fits an interface name.
#include <net/if.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/dialup/pppd_dialer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pondrel::dialup;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  PppdLogParser parser;
  // Fed in two pieces, as reads from a pipe split it.
  const std::size_t cut = size / 2;
  std::size_t lines = 0;
  for (std::string_view part : {text.substr(0, cut), text.substr(cut)}) {
    for (const PppdLogNote& note : parser.Feed(part)) {
      ++lines;
      if (note.state != -1 && note.state != kDeviceConnected &&
          note.state != kAllDevicesConnected && note.state != kAuthenticated &&
          note.state != kProjected)
        std::abort();
      if (note.ifname.size() >= IFNAMSIZ) std::abort();
    }
  }
  std::size_t breaks = 0;
  for (char c : text) breaks += c == '\n';
  if (lines != breaks) std::abort();
  return 0;
}
