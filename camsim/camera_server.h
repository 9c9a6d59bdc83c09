// The simulated camera server without its HTTP transport: it decides the answer to every
// request (status, list, picture, deletion, and the simulator's own control and statistics
// requests), applies the fault plan and keeps the counters. The transport only carries out
// the returned plan: it sends the body whole, stalls in its middle, drops the connection
// half-way, or trickles it. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "camsim/camera_protocol.h"
#include "camsim/fault_plan.h"
#include "camsim/picture_store.h"

namespace pondrel::camsim {

struct Credentials {
  std::string user;
  std::string password;
};

struct CamServerConfig {
  PictureSeries series;
  int pictures = 10;                 // pictures held at start
  std::optional<Credentials> user;   // unset: requests need no credentials
  std::optional<Credentials> admin;  // set: deletion needs exactly these; they also open
                                     // every other request
  int missing_picture_status = 404;  // answer to a picture request for an unknown identifier
  bool list_crlf = true;
};

struct IncomingRequest {
  std::string method;
  std::string target;
  std::optional<std::string> authorization;  // the Authorization header, if sent
  std::string user_agent;
  std::string body;
  std::string peer;  // the client's address and port: one per connection
  std::vector<std::pair<std::string, std::string>> headers;  // as sent, names in lower case
};

// kHangUp: the whole body, then the connection closes without a word. kEndless: the body
// without a length, then the filler over and over until the client goes away.
enum class Delivery { kWhole, kStall, kDrop, kTrickle, kHangUp, kEndless };

struct ResponsePlan {
  int status = 200;
  std::string content_type = "text/plain";
  std::string body;
  Delivery delivery = Delivery::kWhole;
  long param = 0;      // kStall: seconds; kTrickle: bytes per second
  long cut_at = -1;    // kStall, kDrop: where the body is interrupted; -1 = its middle
  std::string filler;  // kEndless: what follows the body (empty: zero bytes)
  std::vector<std::pair<std::string, std::string>> headers;
};

class CamServer {
 public:
  explicit CamServer(const CamServerConfig& config);

  ResponsePlan Handle(const IncomingRequest& request);

  // Control text: "key=value" lines (blank lines and lines starting with "#" are ignored).
  // Either every line is applied or, when one is bad, none; *error names the bad line.
  //   fault.<target>=<action>   see fault_plan.h
  //   state=<n>                 server state in the status body (2, 3, 4 = busy/no storage)
  //   count=<n>|auto            picture count in the status body (auto = pictures held)
  //   add=<n>                   n more pictures continuing the series
  //   delete=<identifier>       the camera loses one picture
  //   picture-size=<bytes>      size of pictures added from now on
  //   list-eol=crlf|lf          line ends of the picture list
  //   list-extra=<text>         a line appended verbatim to the list
  //   clear=faults|pictures|stats|list-extra
  bool ApplyControl(std::string_view text, std::string* error);

  // Told by the transport once a response has gone out (or was cut off).
  void RecordSent(std::size_t bytes);

  // "key=value" lines: pictures (held now), state, requests, <kind>_requests for status,
  // list, data, rpdel, control, stats and other, auth_failures, no_authorization (camera
  // requests without the header), last_credentials (decoded "user:password" of the last
  // camera request, "none" or "malformed"), last_user_agent, faults_applied, deleted (pictures
  // removed by deletion requests), delete_unknown (identifiers named but not held),
  // rpdel_batches (identifier count of each authorised deletion request, comma-separated),
  // bytes_sent (body bytes), connections (camera requests came over this many connections),
  // faults (the active faults in text form, blank-separated).
  std::string StatsText() const;
  std::size_t PictureCount() const { return store_.Count(); }
  // Adds a picture of the caller's making: `file` is served as it is, whatever it holds.
  void AddPicture(const std::string& key, const std::string& id, std::string file);

 private:
  struct Stats {
    long requests = 0;
    long by_kind[7] = {};
    long auth_failures = 0;
    long no_authorization = 0;
    long faults_applied = 0;
    long deleted = 0;
    long delete_unknown = 0;
    long bytes_sent = 0;
    std::vector<std::size_t> delete_batches;
    std::set<std::string> peers;  // of camera requests
    std::string last_credentials = "none";
    std::string last_user_agent;
  };

  bool ControlLine(std::string_view key, std::string_view value, bool apply, std::string* error);
  // "fault.<target>=<action>" (target_text without "fault.") and "clear=<what>".
  bool FaultControl(std::string_view target_text, std::string_view action_text, bool apply,
                    std::string* error);
  bool ClearControl(std::string_view what, bool apply);
  ResponsePlan ControlAnswer(const IncomingRequest& request);
  std::optional<ResponsePlan> Refusal(const IncomingRequest& request, const ParsedTarget& target);
  ResponsePlan CameraAnswer(const ParsedTarget& target, std::size_t oversize,
                            std::unique_lock<std::mutex>& lock);
  static void ApplyDelivery(const Fault& fault, RequestKind kind, ResponsePlan* plan);
  bool Authorized(RequestKind kind, const std::optional<std::string>& credentials) const;

  const CamServerConfig config_;
  PictureStore store_;
  mutable std::mutex mu_;  // guards everything below
  FaultPlan faults_;
  std::uint32_t state_ = 0;
  std::optional<std::uint32_t> count_override_;
  ListFormat list_format_;
  Stats stats_;
};

}  // namespace pondrel::camsim
