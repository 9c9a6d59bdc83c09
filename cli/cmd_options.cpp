// pondrel options: the download options of the Options dialog, and the HTML toggle.
#include <iostream>

#include "cli/commands.h"
#include "taskview/options_model.h"

namespace pondrel::cli {

using namespace pondrel::tasdek;

namespace {

int Get(const Args& a) {
  const OptionsValues v = PeekOptions();
  const bool html = ReadGenHtmlFlag();
  const std::vector<std::pair<std::string, std::string>> items = {
      {"min-free-space", std::to_string(v.limit_space)},
      {"when-min-reached", v.image_automatic == 1 ? "delete-old" : "abort"},
      {"limit-pictures", v.limit_img_files != 0 ? "on" : "off"},
      {"max-pictures", std::to_string(v.img_files_max)},
      {"gen-html", html ? "on" : "off"},
  };
  std::string only;
  if (!a.Positional().empty()) {
    only = a.Positional()[0];
    bool known = false;
    for (const auto& [k, _] : items) known = known || k == only;
    if (!known) return Complain("unknown option name '" + only + "' (see 'pondrel options get --help')", kExitUsage);
  }
  if (G().json) {
    std::vector<std::pair<std::string, std::string>> members;
    for (const auto& [k, val] : items) {
      if (!only.empty() && k != only) continue;
      const bool number = k == "min-free-space" || k == "max-pictures";
      members.push_back({k, number ? val : JsonString(val)});
    }
    std::cout << JsonObject(members) << "\n";
    return kExitOk;
  }
  for (const auto& [k, val] : items) {
    if (only.empty()) std::cout << k << "=" << val << "\n";
    else if (k == only) std::cout << val << "\n";
  }
  return kExitOk;
}

bool OnOff(const std::string& s, bool* out) {
  if (s == "on" || s == "1" || s == "yes") *out = true;
  else if (s == "off" || s == "0" || s == "no") *out = false;
  else return false;
  return true;
}

int Set(const Args& a) {
  if (!a.Has("min-free-space") && !a.Has("when-min-reached") && !a.Has("limit-pictures") &&
      !a.Has("max-pictures") && !a.Has("gen-html")) {
    return Complain("nothing to set (see 'pondrel options set --help')", kExitUsage);
  }
  bool html = false;
  if (a.Has("gen-html") && !OnOff(a.Get("gen-html"), &html)) {
    return Complain("invalid --gen-html '" + a.Get("gen-html") + "' (on, off)", kExitUsage);
  }
  OptionsForm form = FormFromValues(PeekOptions());
  if (a.Has("min-free-space")) form.free_space_text = a.Get("min-free-space");
  if (a.Has("when-min-reached")) {
    const std::string w = a.Get("when-min-reached");
    if (w == "abort") form.action_index = 0;
    else if (w == "delete-old") form.action_index = 1;
    else return Complain("invalid --when-min-reached '" + w + "' (abort, delete-old)", kExitUsage);
  }
  if (a.Has("limit-pictures") && !OnOff(a.Get("limit-pictures"), &form.limit_checked)) {
    return Complain("invalid --limit-pictures '" + a.Get("limit-pictures") + "' (on, off)", kExitUsage);
  }
  if (a.Has("max-pictures")) form.max_text = a.Get("max-pictures");
  const bool download_options = a.Has("min-free-space") || a.Has("when-min-reached") ||
                                a.Has("limit-pictures") || a.Has("max-pictures");
  if (download_options) {
    std::string message;
    if (ValidateOptionsForm(&form, &message) != 0) return Fail(message);
    LoadOptions();  // as the dialog opens: creates the key and missing values
    if (!SaveOptionsForm(form)) {
      return Complain("cannot write the registry file");
    }
  }
  if (a.Has("gen-html")) WriteGenHtmlFlag(html);
  return kExitOk;
}

}  // namespace

int RunOptionsGroup(const std::vector<std::string>& argv) {
  static const std::vector<Command> commands = {
      {{"options get", "[NAME]", "show the download options", {}, 0, 1,
        "Names: min-free-space (percent of the disk that must stay free, 1-50),\n"
        "when-min-reached (abort or delete-old), limit-pictures (on or off),\n"
        "max-pictures (1-10000, used when limit-pictures is on), gen-html (on or off).\n"
        "Missing settings show their defaults: 10, abort, off, 10000, on."},
       Get},
      {{"options set", "", "change the download options (checked as the Options dialog does)",
        {{"min-free-space", "PERCENT", "free space to keep on the image directory's disk, 1-50"},
         {"when-min-reached", "ACTION", "abort (the task) or delete-old (pictures)"},
         {"limit-pictures", "on|off", "limit the pictures per download"},
         {"max-pictures", "N", "maximum pictures per download, 1-10000"},
         {"gen-html", "on|off", "the Task View's HTML generation toggle"}},
        0, 0,
        "The four download options are written together; nothing is written when a value is\n"
        "refused. With limit-pictures off, an out-of-range max-pictures is stored as 10000."},
       Set},
  };
  return RunGroup("options", "Download options (registry settings).", commands, argv);
}

}  // namespace pondrel::cli
