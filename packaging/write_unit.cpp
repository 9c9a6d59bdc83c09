// Writes the service's systemd unit file for the package: the same text "zoricsm -osinstall"
// writes, for the installed host program's path.
#include <cstdio>
#include <string>

#include "common/fs_util.h"
#include "service/kestova.h"
#include "service/systemd_service.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: pondrel_write_unit HOST-PROGRAM-PATH OUTPUT-FILE\n");
    return 2;
  }
  pondrel::UnitFileSettings s;
  s.description = pondrel::kServiceDisplayName;
  s.exec_path = argv[1];
  s.group = pondrel::kInstallationGroup;
  s.after = "network.target";
  s.alias = "pondrel.service";
  const std::string out = argv[2];
  if (!pondrel::WriteFileAtomically(out, pondrel::BuildUnitFile(s), out + ".tmp", 0644)) {
    std::perror(argv[2]);
    return 1;
  }
  return 0;
}
