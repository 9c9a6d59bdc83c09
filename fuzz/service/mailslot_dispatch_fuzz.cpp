// Feeds arbitrary datagrams to the service's mailslot and lets the service's receiver read
// and dispatch them, with a schedule holding a few tasks (one running-state, one without a
// profile) and no launcher, so that execute-now, abort and registration paths all run.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/fs_util.h"
#include "common/mailslot.h"
#include "common/named_object.h"
#include "common/runtime_dir.h"
#include "service/kestova.h"

namespace {

struct World {
  std::string dir;
  pondrel::CKestova service;
  int sender = -1;
  sockaddr_un addr{};
  socklen_t addr_len = 0;
  long runs = 0;

  World() {
    char tmpl[] = "/tmp/pondrel-fuzz-XXXXXX";
    dir = mkdtemp(tmpl);
    setenv("PONDREL_REGISTRY", (dir + "/system.reg").c_str(), 1);
    setenv("PONDREL_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    std::string ini =
        "[Daily]\r\nServerId=00112233445566778899aabbccddeeff\r\nStartTime=2003/04/05/06/07/08\r\n"
        "ActState=3\r\nEffect=1\r\n[Other]\r\nServerId=ffeeddccbbaa99887766554433221100\r\n"
        "StartTime=2003/04/05/06/07/08\r\nActState=5\r\nEffect=1\r\n";
    pondrel::WriteFileAtomically(dir + "/schedule.ini", ini, dir + "/schedule.tmp");
    service.SetRoot(dir);
    service.SetLauncherDir(dir + "/no-launcher-here");
    service.initKVSched();
    sender = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    addr.sun_family = AF_UNIX;
    std::string name = pondrel::MailslotSocketPath(pondrel::kServiceMailslot);
    std::memcpy(addr.sun_path, name.data(), name.size());
    addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  }
  ~World() {
    if (sender >= 0) ::close(sender);
    pondrel::RemoveTree(dir);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static World world;
  ::sendto(world.sender, data, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&world.addr),
           world.addr_len);
  // Also split the input into several messages at zero bytes, as a burst would arrive.
  while (world.service.ReceiveDispatch() != 0) {
  }
  std::string text(reinterpret_cast<const char*>(data), size);
  world.service.DispatchMessage(text.c_str());
  if (++world.runs % 1000 == 0) ::truncate((world.dir + "/SYSTEM/kvrpd.log").c_str(), 0);
  return 0;
}
