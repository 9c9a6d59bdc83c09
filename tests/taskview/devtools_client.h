// A headless Chromium driven over its DevTools protocol through the pipe transport
// (--remote-debugging-pipe: commands on the browser's descriptor 3, answers on 4, each message
// a JSON text ended by a zero byte). Enough of the protocol for the album tests: open a page,
// read its frame tree, run script in a frame, take a screenshot.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "tests/support/test_process.h"

namespace pondrel::test {

// A parsed JSON value (numbers as double).
struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  bool b = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  // An object's members: keys[i] names values[i] (a pair of a type still being defined is
  // not allowed; a vector of it is).
  std::vector<std::string> keys;
  std::vector<Json> values;

  const Json& operator[](const std::string& key) const;  // a null value when absent
  const Json& operator[](std::size_t i) const;
  static bool Parse(const std::string& text, Json* out);
};
std::string JsonQuote(const std::string& s);

// Where Chromium is, "" when it is not installed.
std::string FindChromium();

class Chromium {
 public:
  Chromium() = default;
  Chromium(const Chromium&) = delete;
  Chromium& operator=(const Chromium&) = delete;
  // Ends the browser and every process of its group, and removes its profile directory.
  ~Chromium();

  // Starts the browser (its own process group) with a blank page attached. False with the
  // reason in *error.
  bool Start(const std::string& profile_dir, std::string* error);
  // Sends a command to the attached page and waits up to 30 s for its answer ("result" or
  // "error" member). False when the browser did not answer.
  bool Call(const std::string& method, const std::string& params_json, Json* answer);
  bool Navigate(const std::string& url);
  // Frames by their name path from the top ("", "stage", "stage/view"...), each with its URL.
  struct Frame {
    std::string id, url;
  };
  std::map<std::string, Frame> Frames();
  // Runs `expression` in an isolated world of the frame at `path` (which may reach into the
  // page's DOM, whatever its origin) and returns the value it gives as JSON text ("" on failure).
  std::string Evaluate(const std::string& path, const std::string& expression);
  // Repeats Evaluate until it gives "true", up to `seconds`.
  bool WaitFor(const std::string& path, const std::string& expression, double seconds = 20);
  bool Screenshot(const std::string& png_path);

 private:
  bool Send(const std::string& json);
  bool Receive(int id, Json* answer, int timeout_ms);

  test::TestProcess browser_;
  UniqueFd to_browser_, from_browser_;
  std::string profile_dir_, pending_, session_;
  int next_id_ = 0;
};

}  // namespace pondrel::test
