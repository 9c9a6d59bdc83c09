#include "downloader/progress_reporter.h"

#include <unistd.h>

namespace pondrel::dl {

TerminalProgress::TerminalProgress() : live_(::isatty(STDERR_FILENO) == 1) {}

TerminalProgress::~TerminalProgress() {
  std::lock_guard lock(mu_);
  if (live_ && shown_) {
    (void)!::write(STDERR_FILENO, "\n", 1);
  }
}

void TerminalProgress::Status(std::string_view text) {
  if (!live_) return;
  std::lock_guard lock(mu_);
  // Carriage return and "erase line": the status line is rewritten in place. Control
  // characters of the text (it can hold a key from the server) are shown as blanks.
  std::string line = "\r\x1b[K";
  for (char c : text.substr(0, 2047)) {
    line.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c);
  }
  (void)!::write(STDERR_FILENO, line.data(), line.size());
  shown_ = true;
}

}  // namespace pondrel::dl
