// Where a run's status lines go. On a terminal one live line shows the latest status; a run
// started by the service (no terminal) stays quiet.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace pondrel::dl {

class ProgressReporter {
 public:
  virtual ~ProgressReporter() = default;
  // Replaces the status line. Called from the worker and the control thread.
  virtual void Status(std::string_view text) = 0;
  void Clear() { Status({}); }
};

// Writes to standard error when it is a terminal, otherwise nothing.
class TerminalProgress final : public ProgressReporter {
 public:
  TerminalProgress();
  ~TerminalProgress() override;
  void Status(std::string_view text) override;

 private:
  std::mutex mu_;
  bool live_ = false;
  bool shown_ = false;
};

}  // namespace pondrel::dl
