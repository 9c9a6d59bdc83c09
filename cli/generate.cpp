// The manual page and the bash completion, both made from the command tables and their help
// texts, so that they say what --help says.
#include <iostream>
#include <set>
#include <sstream>

#include "cli/commands.h"

namespace pondrel::cli {

namespace {

// Text for roff: a leading dot or quote is guarded, backslashes and hyphens escaped.
std::string Roff(std::string_view text) {
  std::string out;
  bool line_start = true;
  for (char c : text) {
    if (line_start && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
    line_start = c == '\n';
  }
  return out;
}

int Man() {
  std::ostream& o = std::cout;
  o << ".TH PONDREL 1 \"\" \"Pondrel 0.1\" \"User Commands\"\n"
    << ".SH NAME\npondrel \\- manage Pondrel's camera servers, tasks, service, log and options\n"
    << ".SH SYNOPSIS\n.B pondrel\n[\\fB\\-\\-json\\fR] [\\fB\\-\\-timeout\\fR \\fISECONDS\\fR] "
       "\\fIgroup\\fR \\fIcommand\\fR [\\fIOPTIONS\\fR] [\\fIARGS\\fR]\n"
    << ".SH DESCRIPTION\n.nf\n"
    << Roff(TopHelp()) << ".fi\n";
  for (const Group& g : Groups()) {
    o << ".SH " << Roff(g.name) << " \\- " << Roff(g.summary) << "\n";
    for (const Command& c : g.commands()) {
      o << ".SS \"pondrel " << Roff(c.spec.path);
      if (c.spec.args && *c.spec.args) o << " " << Roff(c.spec.args);
      o << "\"\n" << Roff(c.spec.summary) << "\n";
      if (c.spec.details) o << ".PP\n.nf\n" << Roff(c.spec.details) << "\n.fi\n";
      for (const OptionSpec& op : c.spec.options) {
        o << ".TP\n\\fB\\-\\-" << Roff(op.name) << "\\fR";
        if (op.metavar) o << " \\fI" << Roff(op.metavar) << "\\fR";
        o << "\n" << Roff(op.help) << "\n";
      }
    }
  }
  o << ".SH FILES\n.TP\n/etc/pondrel/system.reg\nthe registry file naming the installation "
       "directory \"ROOT\" (or $PONDREL_REGISTRY)\n";
  return kExitOk;
}

// A bash word list: the names are fixed identifiers, so no quoting is needed beyond a blank.
std::string Words(const std::set<std::string>& words) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

int BashCompletion() {
  std::ostream& o = std::cout;
  std::set<std::string> groups;
  for (const Group& g : Groups()) groups.insert(g.name);
  o << "# bash completion for pondrel (made by 'pondrel --generate bash-completion')\n"
    << "_pondrel() {\n"
    << "  local cur=${COMP_WORDS[COMP_CWORD]} group= command= i w\n"
    << "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
    << "    w=${COMP_WORDS[i]}\n"
    << "    case $w in --timeout) ((i++)); continue ;; -*) continue ;; esac\n"
    << "    if [ -z \"$group\" ]; then group=$w; elif [ -z \"$command\" ]; then command=$w; fi\n"
    << "  done\n"
    << "  local globals='--json --timeout --yes --help'\n"
    << "  if [ -z \"$group\" ]; then\n"
    << "    COMPREPLY=($(compgen -W \"" << Words(groups) << " $globals --version\" -- \"$cur\"))\n"
    << "    return\n"
    << "  fi\n"
    << "  case $group in\n";
  for (const Group& g : Groups()) {
    std::set<std::string> commands;
    const std::size_t skip = std::string(g.name).size() + 1;
    for (const Command& c : g.commands()) commands.insert(c.spec.path + skip);
    o << "    " << g.name << ")\n"
      << "      if [ -z \"$command\" ]; then\n"
      << "        COMPREPLY=($(compgen -W \"" << Words(commands) << " --help\" -- \"$cur\"))\n"
      << "        return\n"
      << "      fi\n"
      << "      case $command in\n";
    for (const Command& c : g.commands()) {
      std::set<std::string> options;
      for (const OptionSpec& op : c.spec.options) options.insert(std::string("--") + op.name);
      o << "        " << (c.spec.path + skip) << ") COMPREPLY=($(compgen -W \"" << Words(options)
        << " $globals\" -- \"$cur\")) ;;\n";
    }
    o << "      esac ;;\n";
  }
  o << "  esac\n"
    << "}\n"
    << "complete -o default -F _pondrel pondrel\n";
  return kExitOk;
}

}  // namespace

int Generate(const std::string& what) {
  if (what == "man") return Man();
  if (what == "bash-completion") return BashCompletion();
  return Complain("'--generate " + what + "': man or bash-completion", kExitUsage);
}

}  // namespace pondrel::cli
