#include "tests/taskview/devtools_client.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/fs_util.h"

namespace pondrel::test {
namespace {

const Json kNullJson;

class Parser {
 public:
  explicit Parser(const std::string& s) : s_(s) {}
  bool Value(Json* out, int depth = 0) {
    if (depth > 64) return false;
    Skip();
    if (i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '{') {
      out->kind = Json::kObject;
      ++i_;
      Skip();
      if (Eat('}')) return true;
      do {
        Skip();
        Json key;
        if (!String(&key.text) || (Skip(), !Eat(':'))) return false;
        out->keys.push_back(key.text);
        out->values.emplace_back();
        if (!Value(&out->values.back(), depth + 1)) return false;
        Skip();
      } while (Eat(','));
      return Eat('}');
    }
    if (c == '[') {
      out->kind = Json::kArray;
      ++i_;
      Skip();
      if (Eat(']')) return true;
      do {
        out->items.emplace_back();
        if (!Value(&out->items.back(), depth + 1)) return false;
        Skip();
      } while (Eat(','));
      return Eat(']');
    }
    if (c == '"') {
      out->kind = Json::kString;
      return String(&out->text);
    }
    for (const char* word : {"true", "false", "null"}) {
      const std::size_t len = std::strlen(word);
      if (s_.compare(i_, len, word) == 0) {
        i_ += len;
        out->kind = word[0] == 'n' ? Json::kNull : Json::kBool;
        out->b = word[0] == 't';
        return true;
      }
    }
    char* end = nullptr;
    out->kind = Json::kNumber;
    out->number = std::strtod(s_.c_str() + i_, &end);
    if (end == s_.c_str() + i_) return false;
    i_ = static_cast<std::size_t>(end - s_.c_str());
    return true;
  }
  bool AtEnd() {
    Skip();
    return i_ == s_.size();
  }

 private:
  void Skip() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t'))
      ++i_;
  }
  bool Eat(char c) {
    if (i_ >= s_.size() || s_[i_] != c) return false;
    ++i_;
    return true;
  }
  void Utf8(unsigned cp, std::string* out) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  bool Hex4(unsigned* v) {
    if (i_ + 4 > s_.size()) return false;
    *v = static_cast<unsigned>(std::strtoul(s_.substr(i_, 4).c_str(), nullptr, 16));
    i_ += 4;
    return true;
  }
  bool String(std::string* out) {
    if (!Eat('"')) return false;
    while (i_ < s_.size()) {
      const char c = s_[i_++];
      if (c == '"') return true;
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (i_ >= s_.size()) return false;
      const char e = s_[i_++];
      switch (e) {
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'u': {
          unsigned cp;
          if (!Hex4(&cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00 && s_.compare(i_, 2, "\\u") == 0) {
            i_ += 2;
            unsigned lo;
            if (!Hex4(&lo)) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          }
          Utf8(cp, out);
          break;
        }
        default: out->push_back(e);
      }
    }
    return false;
  }
  const std::string& s_;
  std::size_t i_ = 0;
};

std::string Base64Decode(const std::string& in) {
  auto val = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  unsigned acc = 0;
  int bits = 0;
  for (char c : in) {
    const int v = val(c);
    if (v < 0) continue;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return out;
}

}  // namespace

const Json& Json::operator[](const std::string& key) const {
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == key) return values[i];
  }
  return kNullJson;
}

const Json& Json::operator[](std::size_t i) const {
  return i < items.size() ? items[i] : kNullJson;
}

bool Json::Parse(const std::string& text, Json* out) {
  *out = Json();
  Parser p(text);
  return p.Value(out) && p.AtEnd();
}

std::string JsonQuote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out + "\"";
}

std::string FindChromium() {
  for (const char* name : {"chromium", "chromium-browser"}) {
    std::string p = FindExecutable(name);
    if (!p.empty()) return p;
  }
  return {};
}

Chromium::~Chromium() {
  to_browser_.reset();
  from_browser_.reset();
  // The browser's helpers (zygote, renderers, GPU) share its process group.
  browser_.Stop(5000);
  if (!profile_dir_.empty()) RemoveTree(profile_dir_);
}

bool Chromium::Start(const std::string& profile_dir, std::string* error) {
  const std::string program = FindChromium();
  if (program.empty()) {
    *error = "chromium is not installed";
    return false;
  }
  profile_dir_ = profile_dir;
  CreateDirectoryChain(profile_dir_);
  int commands[2], answers[2];
  if (::pipe2(commands, O_CLOEXEC) != 0 || ::pipe2(answers, O_CLOEXEC) != 0) {
    *error = "pipe";
    return false;
  }
  UniqueFd cmd_read(commands[0]), answer_write(answers[1]);
  to_browser_.reset(commands[1]);
  from_browser_.reset(answers[0]);
  const std::string user_data = "--user-data-dir=" + profile_dir_;
  test::ProcessOptions options;
  options.output_path = "/dev/null";
  options.fds = {{cmd_read.get(), 3}, {answer_write.get(), 4}};
  options.own_group = true;
  if (!browser_.Start(program,
                      {"--headless", "--remote-debugging-pipe", "--no-sandbox", "--disable-gpu",
                       "--no-first-run", "--no-default-browser-check", "--disable-extensions",
                       "--hide-scrollbars", "--window-size=1200,800", user_data, "about:blank"},
                      options)) {
    *error = browser_.Error();
    return false;
  }
  Json answer;
  if (!Call("Target.getTargets", "{}", &answer)) {
    *error = "chromium does not answer on its debugging pipe";
    return false;
  }
  std::string target;
  for (const Json& t : answer["result"]["targetInfos"].items) {
    if (t["type"].text == "page") target = t["targetId"].text;
  }
  if (target.empty() ||
      !Call("Target.attachToTarget", "{\"targetId\":" + JsonQuote(target) + ",\"flatten\":true}",
            &answer)) {
    *error = "no page to attach to";
    return false;
  }
  session_ = answer["result"]["sessionId"].text;
  return !session_.empty() && Call("Page.enable", "{}", &answer);
}

bool Chromium::Send(const std::string& json) {
  std::string msg = json;
  msg.push_back('\0');
  return WriteAll(to_browser_.get(), msg);
}

bool Chromium::Receive(int id, Json* answer, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    std::size_t zero;
    while ((zero = pending_.find('\0')) != std::string::npos) {
      const std::string msg = pending_.substr(0, zero);
      pending_.erase(0, zero + 1);
      Json j;
      if (Json::Parse(msg, &j) && j["id"].kind == Json::kNumber &&
          static_cast<int>(j["id"].number) == id) {
        *answer = std::move(j);
        return true;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{from_browser_.get(), POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    char buf[65536];
    const ssize_t got = ::read(from_browser_.get(), buf, sizeof buf);
    if (got <= 0) return false;
    pending_.append(buf, static_cast<std::size_t>(got));
  }
}

bool Chromium::Call(const std::string& method, const std::string& params_json, Json* answer) {
  const int id = ++next_id_;
  std::string msg = "{\"id\":" + std::to_string(id) + ",\"method\":" + JsonQuote(method) +
                    ",\"params\":" + params_json;
  if (!session_.empty()) msg += ",\"sessionId\":" + JsonQuote(session_);
  msg += "}";
  return Send(msg) && Receive(id, answer, 30000);
}

bool Chromium::Navigate(const std::string& url) {
  Json answer;
  return Call("Page.navigate", "{\"url\":" + JsonQuote(url) + "}", &answer) &&
         answer["error"].kind == Json::kNull;
}

std::map<std::string, Chromium::Frame> Chromium::Frames() {
  std::map<std::string, Frame> out;
  Json answer;
  if (!Call("Page.getFrameTree", "{}", &answer)) return out;
  struct Walk {
    std::map<std::string, Frame>* out;
    void operator()(const Json& node, const std::string& prefix) const {
      const Json& f = node["frame"];
      std::string path = prefix;
      if (f["parentId"].kind != Json::kNull) path += (prefix.empty() ? "" : "/") + f["name"].text;
      (*out)[path] = {f["id"].text, f["url"].text};
      for (const Json& child : node["childFrames"].items) (*this)(child, path);
    }
  };
  Walk{&out}(answer["result"]["frameTree"], "");
  return out;
}

std::string Chromium::Evaluate(const std::string& path, const std::string& expression) {
  auto frames = Frames();
  auto it = frames.find(path);
  if (it == frames.end()) return {};
  Json answer;
  if (!Call("Page.createIsolatedWorld",
            "{\"frameId\":" + JsonQuote(it->second.id) +
                ",\"worldName\":\"album-test\",\"grantUniveralAccess\":true}",
            &answer)) {
    return {};
  }
  const Json& ctx = answer["result"]["executionContextId"];
  if (ctx.kind != Json::kNumber) return {};
  if (!Call("Runtime.evaluate",
            "{\"expression\":" +
                JsonQuote("JSON.stringify((function(){ return " + expression + "; })())") +
                ",\"contextId\":" + std::to_string(static_cast<long>(ctx.number)) +
                ",\"returnByValue\":true}",
            &answer)) {
    return {};
  }
  const Json& v = answer["result"]["result"];
  return v["type"].text == "string" ? v["value"].text : std::string();
}

bool Chromium::WaitFor(const std::string& path, const std::string& expression, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  while (std::chrono::steady_clock::now() < deadline) {
    if (Evaluate(path, expression) == "true") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

bool Chromium::Screenshot(const std::string& png_path) {
  Json answer;
  if (!Call("Page.captureScreenshot", "{\"format\":\"png\"}", &answer)) return false;
  const std::string png = Base64Decode(answer["result"]["data"].text);
  if (png.empty()) return false;
  UniqueFd fd(::open(png_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  return fd && WriteAll(fd.get(), png);
}

}  // namespace pondrel::test
