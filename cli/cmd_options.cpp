// pondrel options: the download options, and the HTML toggle.
#include <iostream>

#include "cli/commands.h"
#include "common/fs_util.h"
#include "common/registry.h"
#include "taskview/messages.h"
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
    if (!known) {
      return Error(only, "no such download option (see 'pondrel options get --help')", kExitUsage);
    }
  }
  if (G().json) {
    std::vector<std::pair<std::string, std::string>> members;
    for (const auto& [k, val] : items) {
      if (!only.empty() && k != only) continue;
      const bool number = k == "min-free-space" || k == "max-pictures";
      std::string key = k;
      for (char& c : key) c = c == '-' ? '_' : c;
      members.push_back({key, number ? val : JsonString(val)});
    }
    PrintJson(JsonObject(members));
    return kExitOk;
  }
  for (const auto& [k, val] : items) {
    if (only.empty())
      std::cout << k << "=" << val << "\n";
    else if (k == only)
      std::cout << val << "\n";
  }
  return kExitOk;
}

bool OnOff(const std::string& s, bool* out) {
  if (s == "on" || s == "1" || s == "yes")
    *out = true;
  else if (s == "off" || s == "0" || s == "no")
    *out = false;
  else
    return false;
  return true;
}

// The download options given on the command line, over the form; kExitOk, or the exit status
// of the first bad value (already told).
int ReadFormArgs(const Args& a, OptionsForm* form) {
  long number;
  if (a.Has("min-free-space")) {
    if (!ParseInt(a.Get("min-free-space"), 0, 1000000, &number)) {
      return BadValue("min-free-space", "'" + a.Get("min-free-space") + "' is not a whole number");
    }
    form->free_space_text = a.Get("min-free-space");
  }
  if (a.Has("when-min-reached")) {
    const std::string w = a.Get("when-min-reached");
    if (w == "abort")
      form->action_index = 0;
    else if (w == "delete-old")
      form->action_index = 1;
    else
      return BadValue("when-min-reached", "'" + w + "' is not abort or delete-old");
  }
  if (a.Has("limit-pictures") && !OnOff(a.Get("limit-pictures"), &form->limit_checked)) {
    return BadValue("limit-pictures", "'" + a.Get("limit-pictures") + "' is not on or off");
  }
  if (a.Has("max-pictures")) {
    // A value given is checked even with the limit off: it is not replaced behind the
    // user's back.
    if (!ParseInt(a.Get("max-pictures"), 0, 1000000, &number)) {
      return BadValue("max-pictures", "'" + a.Get("max-pictures") + "' is not a whole number");
    }
    if (number < 1 || number > 10000) {
      OptionsForm check = *form;
      check.limit_checked = true;
      check.max_text = a.Get("max-pictures");
      std::string message;
      ValidateOptionsForm(&check, &message);
      return BadValue("max-pictures", message);
    }
    form->max_text = a.Get("max-pictures");
  }
  return kExitOk;
}

int Set(const Args& a) {
  if (!a.Has("min-free-space") && !a.Has("when-min-reached") && !a.Has("limit-pictures") &&
      !a.Has("max-pictures") && !a.Has("gen-html")) {
    return Complain("nothing to set (see 'pondrel options set --help')", kExitUsage);
  }
  // A mistyped $PONDREL_REGISTRY must not quietly start a new registry without "ROOT".
  const std::string registry = RegistryFilePath(RegHive::kLocalMachine);
  if (!a.Has("create") && !FileExists(registry)) {
    return Fail(registry, "no such registry file (--create makes a new one)");
  }
  // A registry file that could not be read whole is never replaced: what it holds would be
  // lost (the installation's "ROOT" with it).
  if (const std::string damage = RegistryFileDamage(RegHive::kLocalMachine); !damage.empty()) {
    return Fail(registry, "not changed: " + damage + " (the file is left as it is)");
  }
  bool html = false;
  if (a.Has("gen-html") && !OnOff(a.Get("gen-html"), &html)) {
    return BadValue("gen-html", "'" + a.Get("gen-html") + "' is not on or off");
  }
  OptionsForm form = FormFromValues(PeekOptions());
  if (const int status = ReadFormArgs(a, &form); status != kExitOk) return status;
  const bool download_options = a.Has("min-free-space") || a.Has("when-min-reached") ||
                                a.Has("limit-pictures") || a.Has("max-pictures");
  if (download_options) {
    std::string message;
    if (int step = ValidateOptionsForm(&form, &message); step != 0) {
      return BadValue(step == 1 || step == 3 ? "min-free-space" : "max-pictures", message);
    }
    LoadOptions();  // creates the settings key and missing values
    if (!SaveOptionsForm(form)) return Fail(registry, "cannot write the registry file");
  }
  if (a.Has("gen-html") && !WriteGenHtmlFlag(html)) {
    return Fail(registry, "cannot write the registry file");
  }
  if (G().json) return Get(Args());
  return kExitOk;
}

}  // namespace

const std::vector<Command>& OptionsCommands() {
  static const std::vector<Command> kCommands = {
      {{"options get",
        "[NAME]",
        "show the download options",
        {},
        0,
        1,
        "Names: min-free-space (percent of the disk that must stay free, 1-50),\n"
        "when-min-reached (abort or delete-old), limit-pictures (on or off),\n"
        "max-pictures (1-10000, used when limit-pictures is on), gen-html (on or off).\n"
        "Missing settings show their defaults: 10, abort, off, 10000, on.\n"
        "With --json the names are keys with underscores (min_free_space, ...)."},
       Get},
      {{"options set",
        "",
        "change the download options",
        {{"min-free-space", "PERCENT", "free space to keep on the image directory's disk, 1-50"},
         {"when-min-reached", "ACTION", "abort (the task) or delete-old (pictures)"},
         {"limit-pictures", "on|off", "limit the pictures per download"},
         {"max-pictures", "N", "maximum pictures per download, 1-10000"},
         {"gen-html", "on|off", "the HTML generation toggle of the task list"},
         {"create", nullptr, "make the registry file when it does not exist"}},
        0,
        0,
        "The four download options are written together; nothing is written when a value is\n"
        "refused (exit status 2). The registry file must exist unless --create is given.\n"
        "With --json the options as they now stand are printed."},
       Set},
  };
  return kCommands;
}

}  // namespace pondrel::cli
