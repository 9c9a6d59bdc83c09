// The faults the simulated camera can be told to show: a chosen HTTP status, an "error" body,
// a stall in the middle of a body, a dropped connection, a slow trickle, an oversized body, a
// connection closed after the answer ("Connection: close"), a kept connection dropped
// silently after a whole answer (as a server's idle time-out does) and a body that never ends,
// each for every request of one kind or for the requests naming one picture, for ever or for
// a number of requests.
//
// Text form (a control line is "fault.<target>=<action>", the command line takes
// "--fault <target>=<action>"):
//   target: status | list | data | rpdel, optionally followed by "." and a picture identifier
//           (data: the request for that picture; rpdel: any batch naming it)
//   action: none | code:<http status> | error | stall:<seconds> | drop | trickle:<bytes/s>
//           | oversize:<bytes> | close | hangup | endless; stall and drop may add "@<byte offset>"
//           to stop there instead of in the middle of the body ("drop@0": headers only); any action
//           may end in
//           "*<n>" to apply to the next n requests only
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "camsim/camera_protocol.h"

namespace pondrel::camsim {

enum class FaultAction {
  kCode,
  kErrorBody,
  kStall,
  kDrop,
  kTrickle,
  kOversize,
  kClose,    // the answer says "Connection: close" and the connection closes after it
  kHangUp,   // the whole answer goes out as kept-alive, then the connection closes unannounced
  kEndless,  // the body has no length and never ends: filler follows until the client leaves
};

struct Fault {
  FaultAction action = FaultAction::kCode;
  long param = 0;  // status code, seconds, bytes per second or body size
  int times = -1;  // requests still to be hit; -1 = every request
  long at = -1;    // kStall, kDrop: body bytes sent before; -1 = half the body
};

struct FaultTarget {
  RequestKind kind = RequestKind::kData;
  std::string id;  // empty: every request of the kind
  bool operator<(const FaultTarget& o) const { return kind != o.kind ? kind < o.kind : id < o.id; }
};

bool ParseFaultTarget(std::string_view text, FaultTarget* out, std::string* error);
// nullopt in *out for "none" (the target's fault is lifted).
bool ParseFaultAction(std::string_view text, std::optional<Fault>* out, std::string* error);
std::string DescribeFault(const FaultTarget& target, const Fault& fault);

// Not thread-safe; the server guards it.
class FaultPlan {
 public:
  void Set(const FaultTarget& target, std::optional<Fault> fault);
  void Clear() { faults_.clear(); }
  bool Empty() const { return faults_.empty(); }

  // The fault for a request of `kind` naming `ids`, one use of it consumed: a fault for one of
  // the pictures wins over a fault for the whole kind.
  std::optional<Fault> Take(RequestKind kind, const std::vector<std::string>& ids);

  std::vector<std::string> Describe() const;

 private:
  std::map<FaultTarget, Fault> faults_;
};

}  // namespace pondrel::camsim
