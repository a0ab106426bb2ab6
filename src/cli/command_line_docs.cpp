#include "cli/command_line_docs.h"

#include <set>
#include <sstream>
#include <vector>

namespace tessarin {

namespace {

// What a value or an argument is completed with.
enum class ValueKind { kNone, kFile, kDirectory, kImage, kSpec };

ValueKind KindOf(const OptionDoc& option) {
  if (option.m_positional) {
    // The image arguments, then the files written or read.
    if (option.m_help.find("(.rom") != std::string::npos) return ValueKind::kImage;
    if (option.m_value == "FILE" || option.m_value == "OUT") return ValueKind::kFile;
    return ValueKind::kNone;
  }
  if (option.m_value == "FILE") return ValueKind::kFile;
  if (option.m_value == "DIR") return ValueKind::kDirectory;
  if (option.m_value == "SPEC") return ValueKind::kSpec;
  return ValueKind::kNone;
}

const char kSpecWords[] = "default none dir=";

std::string Join(const std::vector<std::string>& words, const std::string& between) {
  std::string joined;
  for (const std::string& word : words) joined += (joined.empty() ? "" : between) + word;
  return joined;
}

std::vector<std::string> OptionNames(const std::vector<OptionDoc>& options) {
  std::vector<std::string> names;
  for (const OptionDoc& option : options) {
    if (option.m_positional) continue;
    if (!option.m_short.empty()) names.push_back(option.m_short);
    names.push_back(option.m_name);
  }
  return names;
}

std::string BashValueReply(ValueKind kind) {
  switch (kind) {
    case ValueKind::kFile:
      return "COMPREPLY=($(compgen -f -- \"$cur\"))";
    case ValueKind::kDirectory:
      return "COMPREPLY=($(compgen -d -- \"$cur\"))";
    case ValueKind::kImage:
      return "COMPREPLY=($(compgen -f -X '!*.rom' -- \"$cur\") $(compgen -d -- \"$cur\"))";
    case ValueKind::kSpec:
      return std::string("COMPREPLY=($(compgen -W \"") + kSpecWords + "\" -- \"$cur\"))";
    case ValueKind::kNone:
      break;
  }
  return "COMPREPLY=()";
}

// Text in single quotes for a shell.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// A description inside a zsh option's brackets.
std::string ZshBracketed(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '[' || c == ']' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string ZshAction(ValueKind kind) {
  switch (kind) {
    case ValueKind::kFile:
      return "_files";
    case ValueKind::kDirectory:
      return "_files -/";
    case ValueKind::kImage:
      return "_files -g \"*.rom\"";
    case ValueKind::kSpec:
      return std::string("(") + kSpecWords + ")";
    case ValueKind::kNone:
      break;
  }
  return " ";
}

std::vector<std::string> ZshSpecs(const std::vector<OptionDoc>& options) {
  std::vector<std::string> specs;
  int argument = 0;
  for (const OptionDoc& option : options) {
    const std::string action = ZshAction(KindOf(option));
    if (option.m_positional) {
      specs.push_back(Quoted(std::to_string(++argument) + ":" + option.m_value + ":" + action));
      continue;
    }
    std::string names = option.m_name;
    if (!option.m_short.empty()) names = "{" + option.m_short + "," + option.m_name + "}";
    std::string spec = "[" + ZshBracketed(option.m_help) + "]";
    if (!option.m_value.empty()) spec += ":" + option.m_value + ":" + action;
    specs.push_back(option.m_short.empty() ? Quoted(names + spec) : names + Quoted(spec));
  }
  return specs;
}

// Text for man(7): backslashes and a leading dot or quote made harmless,
// hyphens as minus signs (options and paths are typed as they read).
std::string Roff(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (const char c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
    lineStart = c == '\n';
  }
  return out;
}

// A block kept as it stands: line for line, in its own columns.
std::string RoffVerbatim(const std::string& text) {
  std::string body = Roff(text);
  while (!body.empty() && body.front() == '\n') body.erase(body.begin());
  while (!body.empty() && body.back() == '\n') body.pop_back();
  return ".PP\n.nf\n" + body + "\n.fi\n";
}

std::string RoffOption(const OptionDoc& option) {
  std::string head = "\\fB" + Roff(option.m_name) + "\\fR";
  if (option.m_positional) head = "\\fI" + Roff(option.m_name) + "\\fR";
  if (!option.m_short.empty()) head = "\\fB" + Roff(option.m_short) + "\\fR, " + head;
  if (!option.m_positional && !option.m_value.empty()) {
    head += " \\fI" + Roff(option.m_value) + "\\fR";
  }
  return ".TP\n" + head + "\n" + Roff(option.m_help) + "\n";
}

std::string ManHeader(const std::string& name, const std::string& version,
                      const std::string& date) {
  // No hyphenation and a ragged right margin: option names and paths are
  // never split over two lines.
  return ".TH " + Roff(name) + " 1 \"" + date + "\" \"" + Roff(name) + " " + version +
         "\" \"User Commands\"\n.nh\n.ad l\n";
}

}  // namespace

std::string BashCompletion(const CommandLineDoc& doc) {
  std::vector<std::string> commands;
  for (const CommandDoc& command : doc.m_commands) commands.push_back(command.m_name);
  std::vector<std::string> globalWithValue;
  for (const OptionDoc& option : doc.m_global) {
    if (!option.m_value.empty()) globalWithValue.push_back(option.m_name);
  }

  std::ostringstream out;
  out << "# bash completion for tessarin-cli, made from its command line\n"
         "_tessarin_cli() {\n"
         "  local cur prev words cword\n"
         "  _init_completion 2>/dev/null || {\n"
         "    cur=\"${COMP_WORDS[COMP_CWORD]}\"\n"
         "    prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
         "    words=(\"${COMP_WORDS[@]}\")\n"
         "    cword=$COMP_CWORD\n"
         "  }\n"
      << "  local commands=\"" << Join(commands, " ") << "\"\n"
      << "  local global=\"" << Join(OptionNames(doc.m_global), " ") << "\"\n"
      << "\n  local command=\"\" i\n"
         "  for ((i = 1; i < cword; i++)); do\n"
         "    case \"${words[i]}\" in\n"
      << "      " << Join(globalWithValue, "|") << ") ((i++)) ;;\n"
      << "      -*) ;;\n"
         "      *) command=\"${words[i]}\"; break ;;\n"
         "    esac\n"
         "  done\n"
         "\n  # The value of the option before the word.\n"
         "  case \"$command:$prev\" in\n";
  for (const CommandDoc& command : doc.m_commands) {
    for (const OptionDoc& option : command.m_options) {
      if (option.m_positional || option.m_value.empty()) continue;
      out << "    " << Quoted(command.m_name + ":" + option.m_name) << ") "
          << BashValueReply(KindOf(option)) << "; return ;;\n";
    }
  }
  for (const OptionDoc& option : doc.m_global) {
    if (option.m_value.empty()) continue;
    out << "    *:" << option.m_name << ") " << BashValueReply(KindOf(option)) << "; return ;;\n";
  }
  out << "  esac\n"
         "\n  local options argument=\"\"\n"
         "  case \"$command\" in\n"
         "    \"\") COMPREPLY=($(compgen -W \"$commands $global\" -- \"$cur\")); return ;;\n";
  for (const CommandDoc& command : doc.m_commands) {
    std::string argument;
    for (const OptionDoc& option : command.m_options) {
      if (option.m_positional && argument.empty()) argument = BashValueReply(KindOf(option));
    }
    out << "    " << Quoted(command.m_name)
        << ") options=" << Quoted(Join(OptionNames(command.m_options), " "))
        << "; argument=" << Quoted(argument) << " ;;\n";
  }
  out << "  esac\n"
         "  if [[ \"$cur\" == -* ]]; then\n"
         "    COMPREPLY=($(compgen -W \"$options $global\" -- \"$cur\"))\n"
         "  elif [[ -n \"$argument\" ]]; then\n"
         "    eval \"$argument\"\n"
         "  else\n"
         "    COMPREPLY=()\n"
         "  fi\n"
         "}\n"
         "complete -F _tessarin_cli tessarin-cli\n";
  return out.str();
}

std::string ZshCompletion(const CommandLineDoc& doc) {
  std::ostringstream out;
  out << "#compdef tessarin-cli\n"
         "# zsh completion for tessarin-cli, made from its command line\n"
         "_tessarin_cli() {\n"
         "  local curcontext=\"$curcontext\" state line ret=1\n"
         "  local -a commands global\n"
         "  commands=(\n";
  for (const CommandDoc& command : doc.m_commands) {
    out << "    " << Quoted(command.m_name + ":" + command.m_help) << "\n";
  }
  out << "  )\n"
         "  _arguments -C \\\n";
  for (const std::string& spec : ZshSpecs(doc.m_global)) out << "    " << spec << " \\\n";
  out << "    '1:command:->command' '*::argument:->argument' && ret=0\n"
         "  case $state in\n"
         "    command) _describe -t commands command commands && ret=0 ;;\n"
         "    argument)\n"
         "      case $words[1] in\n";
  for (const CommandDoc& command : doc.m_commands) {
    // The global options go with every command, unless it has one of the
    // same name (make-image's --version).
    std::vector<OptionDoc> options = command.m_options;
    std::set<std::string> own;
    for (const OptionDoc& option : options) own.insert(option.m_name);
    for (const OptionDoc& option : doc.m_global) {
      if (own.count(option.m_name) == 0 && option.m_name != "--version") options.push_back(option);
    }
    out << "        " << Quoted(command.m_name) << ")\n          _arguments";
    for (const std::string& spec : ZshSpecs(options)) out << " \\\n            " << spec;
    out << " && ret=0 ;;\n";
  }
  out << "      esac ;;\n"
         "  esac\n"
         "  return ret\n"
         "}\n"
         "_tessarin_cli \"$@\"\n";
  return out.str();
}

std::string FishCompletion(const CommandLineDoc& doc) {
  std::ostringstream out;
  out << "# fish completion for tessarin-cli, made from its command line\n"
         "complete -c tessarin-cli -f\n";
  for (const CommandDoc& command : doc.m_commands) {
    out << "complete -c tessarin-cli -n __fish_use_subcommand -a " << Quoted(command.m_name)
        << " -d " << Quoted(command.m_help) << "\n";
  }
  const auto line = [&out](const std::string& condition, const OptionDoc& option) {
    const ValueKind kind = KindOf(option);
    out << "complete -c tessarin-cli";
    if (!condition.empty()) out << " -n " << Quoted(condition);
    if (option.m_positional) {
      if (kind == ValueKind::kNone) return;
      out << " -F";
    } else {
      if (!option.m_short.empty()) out << " -s " << option.m_short.substr(1);
      out << " -l " << option.m_name.substr(2);
      if (!option.m_value.empty()) out << " -r";
      if (kind == ValueKind::kFile || kind == ValueKind::kDirectory || kind == ValueKind::kImage) {
        out << " -F";
      } else if (kind == ValueKind::kSpec) {
        out << " -a " << Quoted(kSpecWords);
      }
    }
    out << " -d " << Quoted(option.m_help) << "\n";
  };
  for (const OptionDoc& option : doc.m_global) {
    // --version only before a command: make-image has one of its own.
    line(option.m_name == "--version" ? "__fish_use_subcommand" : "", option);
  }
  for (const CommandDoc& command : doc.m_commands) {
    for (const OptionDoc& option : command.m_options) {
      line("__fish_seen_subcommand_from " + command.m_name, option);
    }
  }
  return out.str();
}

std::string ManPage(const CommandLineDoc& doc, const std::string& version,
                    const std::string& date) {
  std::ostringstream out;
  out << ManHeader("tessarin-cli", version, date) << ".SH NAME\n"
      << "tessarin\\-cli \\- firmware burner for Kestrova USB audio devices (command line)\n"
      << ".SH SYNOPSIS\n"
      << "\\fBtessarin\\-cli\\fR [\\fIGLOBAL OPTIONS\\fR] \\fICOMMAND\\fR [\\fIOPTIONS\\fR] "
         "[\\fIARGUMENTS\\fR]\n"
      << ".SH DESCRIPTION\n"
      << Roff(doc.m_description) << "\n"
      << ".SH GLOBAL OPTIONS\n"
      << "They may stand before or after the command.\n";
  for (const OptionDoc& option : doc.m_global) out << RoffOption(option);
  out << ".SH COMMANDS\n";
  for (const CommandDoc& command : doc.m_commands) {
    out << ".SS \"" << Roff(command.m_name) << "\"\n" << Roff(command.m_help) << ".\n";
    std::vector<std::string> usage{"\\fBtessarin\\-cli " + Roff(command.m_name) + "\\fR"};
    for (const OptionDoc& option : command.m_options) {
      if (option.m_positional) usage.push_back("\\fI" + Roff(option.m_name) + "\\fR");
    }
    if (!OptionNames(command.m_options).empty()) usage.push_back("[\\fIOPTIONS\\fR]");
    out << ".PP\n" << Join(usage, " ") << "\n";
    for (const OptionDoc& option : command.m_options) out << RoffOption(option);
    if (!command.m_footer.empty()) out << RoffVerbatim(command.m_footer);
  }
  out << ".SH SIMULATED DEVICES\n" << RoffVerbatim(doc.m_simulateHelp);
  out << ".SH EXIT STATUS\n" << RoffVerbatim(doc.m_exitCodes);
  out << ".SH SEE ALSO\n\\fBtessarin\\fR(1)\n";
  return out.str();
}

std::string WindowManPage(const std::string& usage, const std::string& version,
                          const std::string& date) {
  std::ostringstream out;
  out << ManHeader("tessarin", version, date) << ".SH NAME\n"
      << "tessarin \\- firmware burner for Kestrova USB audio devices (window program)\n"
      << ".SH DESCRIPTION\n"
      << RoffVerbatim(usage) << ".SH SEE ALSO\n\\fBtessarin\\-cli\\fR(1)\n";
  return out.str();
}

}  // namespace tessarin
