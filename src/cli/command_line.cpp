#include "cli/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/station_command_line.h"
#include "sim/sim_spec.h"

namespace tessarin {

namespace {

const char kDescription[] = "tessarin-cli: burns firmware images into Kestrova USB audio devices.";

const char kExitCodesHelp[] = R"(Exit codes:
  0  success
  1  the device operation failed (burn, verify, read)
  2  bad usage, or an input file that cannot be used
  3  no device, not a Kestrova device, or the image was refused
)";

// The commands that talk to one device, frame by frame: the ones --trace
// records.
constexpr const char* kTracedCommands[] = {"list", "info", "image", "burn", "verify", "dump"};

const char kTraceCommands[] =
    "it goes with list, info, image, burn, verify and dump, the commands that talk to one "
    "device (trace a single burn with `tessarin-cli --trace FILE burn IMAGE`)";

bool TakesTrace(const std::string& command) {
  return std::find(std::begin(kTracedCommands), std::end(kTracedCommands), command) !=
         std::end(kTracedCommands);
}

// The sentence of a command's help that names the global options it takes.
std::string GlobalOptionsTaken(const std::string& command) {
  if (TakesTrace(command)) return "--simulate SPEC, --trace FILE and --json go with this command";
  if (command == "station") {
    return "--simulate SPEC and --json go with this command (--trace does not: trace a single "
           "burn with `burn`)";
  }
  return "--json goes with this command";
}

// The first word that is neither a global option nor its value: the command
// the user meant. Empty when there is none (CLI11 then says what is missing).
std::string CommandWord(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--simulate" || arg == "--trace") {
      ++i;
      continue;
    }
    if (arg.rfind("-", 0) == 0) continue;
    return arg;
  }
  return {};
}

// The names of the commands, as the parser knows them.
std::vector<std::string> CommandNames(CLI::App& app) {
  std::vector<std::string> names;
  for (CLI::App* sub : app.get_subcommands({})) names.push_back(sub->get_name());
  return names;
}

std::string CommandList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
  return list;
}

CLI::App* AddDeviceOption(CLI::App* sub, std::string* device) {
  sub->add_option("--device", *device, "Device path as `list` shows it (default: the first)")
      ->type_name("PATH");
  return sub;
}

// The options every command takes, before or after it.
void AddGlobalOptions(CLI::App& app, GlobalOptions* global) {
  app.add_option("--simulate", global->m_simulate,
                 "Simulated devices instead of the real ones (syntax below)")
      ->type_name("SPEC");
  app.add_option("--trace", global->m_trace,
                 "Write one line per report frame to this file: transfer, ok or failed, the "
                 "interface and the 65 bytes in hex")
      ->type_name("FILE");
  app.add_flag("--json", global->m_json, "One JSON object per line instead of text");
}

// list, info and image: what is attached, and what an image file holds.
void AddLookCommands(CLI::App& app, CommandLine* line) {
  CLI::App* list = app.add_subcommand("list", "The attached devices in scan order");
  list->add_flag("--all", line->m_list.m_all, "Also the HID interfaces that were skipped, and why");
  list->callback([line] { line->m_command = Command::kList; });

  CLI::App* info = app.add_subcommand("info", "The target device's version and Cur");
  AddDeviceOption(info, &line->m_info.m_device);
  info->callback([line] { line->m_command = Command::kInfo; });

  CLI::App* image = app.add_subcommand(
      "image", "An image file's version, Cur, file time and ids, and whether it suits the target");
  image->add_option("FILE", line->m_image.m_file, "Image file (.rom)")->required()->type_name("");
  AddDeviceOption(image, &line->m_image.m_device);
  image->callback([line] { line->m_command = Command::kImage; });
}

void AddBurnCommand(CLI::App& app, CommandLine* line) {
  CLI::App* burn = app.add_subcommand("burn", "Burn an image into the target device");
  burn->add_option("FILE", line->m_burn.m_file, "Image file (.rom, at most 32768 bytes)")
      ->required()
      ->type_name("");
  AddDeviceOption(burn, &line->m_burn.m_device);
  burn->add_option("--serial", line->m_burn.m_serial,
                   "Serial number for the device's USB descriptor (at most 31 characters); "
                   "without it the descriptor is cleared")
      ->type_name("TEXT");
  burn->add_option("--backup", line->m_burn.m_backup,
                   "First read the whole 32 KB EEPROM into this file; no burn if that fails")
      ->type_name("FILE");
  burn->add_flag("--force", line->m_burn.m_force,
                 "Burn even a device that is not a Kestrova device, or an image that does not "
                 "suit it");
  burn->add_flag("--changed-only", line->m_burn.m_changedOnly,
                 "Read the device first and write only the 64-byte blocks that differ from the "
                 "image (a fast re-burn; as safe as a full burn)");
  burn->callback([line] { line->m_command = Command::kBurn; });
}

// verify and dump: the device's EEPROM read back.
void AddReadCommands(CLI::App& app, CommandLine* line) {
  CLI::App* verify =
      app.add_subcommand("verify", "Compare the device with an image without writing");
  verify->add_option("FILE", line->m_verify.m_file, "Image file (.rom)")->required()->type_name("");
  AddDeviceOption(verify, &line->m_verify.m_device);
  verify->callback([line] { line->m_command = Command::kVerify; });

  CLI::App* dump = app.add_subcommand("dump", "Read the whole 32 KB EEPROM into a file");
  dump->add_option("FILE", line->m_dump.m_file, "Output file")->required()->type_name("");
  AddDeviceOption(dump, &line->m_dump.m_device);
  dump->callback([line] { line->m_command = Command::kDump; });
}

void AddMakeImageCommand(CLI::App& app, CommandLine* line) {
  CLI::App* make = app.add_subcommand("make-image", "Write a valid image for trials and tests");
  make->add_option("OUT", line->m_makeImage.m_out, "Output file")->required()->type_name("");
  make->add_option("--size", line->m_makeImage.m_size, "Bytes (default 32768)")->type_name("N");
  make->add_option("--version", line->m_makeImage.m_version, "MAJOR.MINOR (default 1.0)")
      ->type_name("MAJOR.MINOR");
  make->add_option("--cur", line->m_makeImage.m_cur, "Cur value, 0 to 65535 (default 1)")
      ->type_name("N");
  CLI::Option* vid =
      make->add_option("--vid", line->m_makeImage.m_vid, "Vendor id of the identifier block (hex)")
          ->type_name("HEX");
  CLI::Option* pid =
      make->add_option("--pid", line->m_makeImage.m_pid, "Product id of the identifier block (hex)")
          ->type_name("HEX");
  vid->needs(pid);
  pid->needs(vid);
  make->callback([line] { line->m_command = Command::kMakeImage; });
}

// A command word the parser does not know, said with the list of the known
// ones (CLI11 alone would take it for a stray argument). True when refused.
bool RefuseUnknownCommand(int argc, const char* const* argv, CLI::App& app, std::ostream& err) {
  const std::string word = CommandWord(argc, argv);
  const std::vector<std::string> commands = CommandNames(app);
  if (word.empty() || std::find(commands.begin(), commands.end(), word) != commands.end()) {
    return false;
  }
  err << "tessarin-cli: unknown command \"" << word << "\"; the commands are "
      << CommandList(commands) << " (`tessarin-cli --help` describes them)\n";
  return true;
}

// Every command and option, with their help, on `app`.
void BuildCommandLine(CLI::App& app, CommandLine* line) {
  app.name("tessarin-cli");
  app.footer("\n" + SimSpecHelp() + "\n" + kExitCodesHelp);
  app.set_version_flag("--version", std::string("tessarin-cli ") + TESSARIN_VERSION,
                       "Print the version and exit");
  // Global options may stand before or after the command.
  app.fallthrough();
  app.require_subcommand(1);
  AddGlobalOptions(app, &line->m_global);
  AddLookCommands(app, line);
  AddBurnCommand(app, line);
  AddReadCommands(app, line);
  AddMakeImageCommand(app, line);
  AddStationCommands(app, line);
}

OptionDoc DescribeOption(const CLI::Option& option) {
  OptionDoc doc;
  doc.m_positional = option.get_positional();
  doc.m_name = doc.m_positional ? option.get_name() : "--" + option.get_lnames().front();
  if (!option.get_snames().empty()) doc.m_short = "-" + option.get_snames().front();
  doc.m_value = option.get_type_size() == 0 ? "" : option.get_type_name();
  if (doc.m_positional) doc.m_value = option.get_name();
  doc.m_help = option.get_description();
  return doc;
}

std::vector<OptionDoc> DescribeOptions(const CLI::App& app) {
  std::vector<OptionDoc> docs;
  for (const CLI::Option* option : app.get_options()) docs.push_back(DescribeOption(*option));
  return docs;
}

}  // namespace

CommandLineDoc DescribeCommandLine() {
  CLI::App app{kDescription};
  CommandLine line;
  BuildCommandLine(app, &line);
  CommandLineDoc doc;
  doc.m_description = app.get_description();
  doc.m_global = DescribeOptions(app);
  for (CLI::App* sub : app.get_subcommands({})) {
    CommandDoc command;
    command.m_name = sub->get_name();
    command.m_help = sub->get_description();
    command.m_footer = sub->get_footer() == app.get_footer() ? "" : sub->get_footer();
    command.m_options = DescribeOptions(*sub);
    // Each command's own --help is the global one again.
    std::erase_if(command.m_options, [](const OptionDoc& o) { return o.m_name == "--help"; });
    doc.m_commands.push_back(std::move(command));
  }
  doc.m_simulateHelp = SimSpecHelp();
  doc.m_exitCodes = kExitCodesHelp;
  return doc;
}

int ParseCommandLine(int argc, const char* const* argv, CommandLine* line, std::ostream& out,
                     std::ostream& err) {
  CLI::App app{kDescription};
  BuildCommandLine(app, line);

  // Each command's help says which global options it takes and points to the
  // one description of SPEC and the exit codes, after a footer of the
  // command's own (the station's description; the others only have the one
  // they copied from the tool's).
  for (CLI::App* sub : app.get_subcommands({})) {
    const std::string own = sub->get_footer() == app.get_footer() ? "" : sub->get_footer();
    sub->footer(own + "\n" + GlobalOptionsTaken(sub->get_name()) +
                "; `tessarin-cli --help` describes SPEC and the exit codes.");
  }

  if (RefuseUnknownCommand(argc, argv, app, err)) return EXIT_BAD_INPUT;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e, out, err);
    if (code == 0) return EXIT_OK;
    return EXIT_BAD_INPUT;
  }
  if (!line->m_global.m_trace.empty()) {
    for (const CLI::App* sub : app.get_subcommands()) {
      if (TakesTrace(sub->get_name())) continue;
      err << "tessarin-cli: --trace: `" << sub->get_name() << "` takes no --trace; "
          << kTraceCommands << "\n";
      return EXIT_BAD_INPUT;
    }
  }
  return -1;
}

}  // namespace tessarin
