#include "cli/output_guard.h"

#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "sim/sim_spec.h"

namespace tessarin {
namespace {

struct NamedFile {
  std::string m_role;  ///< how the command line names it, e.g. "--backup"
  std::string m_path;
};

std::vector<NamedFile> Inputs(const CommandLine& line) {
  std::vector<NamedFile> inputs;
  const auto add = [&](const char* role, const std::string& path) {
    if (!path.empty()) inputs.push_back({role, path});
  };
  switch (line.m_command) {
    case Command::kImage:
      add("the image file", line.m_image.m_file);
      break;
    case Command::kBurn:
      add("the image file", line.m_burn.m_file);
      break;
    case Command::kVerify:
      add("the image file", line.m_verify.m_file);
      break;
    case Command::kStation:
      add("the image file", line.m_station.m_file);
      add("--serial-list", line.m_station.m_serialList);
      add("the record store", line.m_station.m_db);
      break;
    case Command::kRecords:
      add("the record store", line.m_records.m_db);
      break;
    case Command::kReleaseSerial:
      add("the record store", line.m_releaseSerial.m_db);
      break;
    default:
      break;
  }
  if (line.m_global.m_simulate) {
    if (std::optional<SimSpec> spec = ParseSimSpec(*line.m_global.m_simulate, nullptr)) {
      for (std::size_t i = 0; i < spec->m_devices.size(); ++i) {
        add("a simulated device's image", spec->m_devices[i].m_imageFile);
        if (!spec->m_dir.empty()) {
          add("a simulated device's EEPROM",
              (std::filesystem::path(spec->m_dir) / SimEepromFileName(i)).string());
        }
      }
    }
  }
  return inputs;
}

std::vector<NamedFile> Outputs(const CommandLine& line) {
  std::vector<NamedFile> outputs;
  const auto add = [&](const char* role, const std::string& path) {
    if (!path.empty()) outputs.push_back({role, path});
  };
  add("--trace", line.m_global.m_trace);
  if (line.m_command == Command::kBurn) add("--backup", line.m_burn.m_backup);
  if (line.m_command == Command::kDump) add("the dump", line.m_dump.m_file);
  if (line.m_command == Command::kMakeImage) add("the made image", line.m_makeImage.m_out);
  return outputs;
}

// The same file through links too; for a name that does not exist yet (two
// outputs), the same name once the links of its folders are resolved.
bool SameFile(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::exists(a, ec) && fs::exists(b, ec)) return fs::equivalent(a, b, ec) && !ec;
  const fs::path left = fs::weakly_canonical(a, ec);
  if (ec) return false;
  const fs::path right = fs::weakly_canonical(b, ec);
  return !ec && left == right;
}

}  // namespace

bool OutputsApart(const CommandLine& line, std::string* error) {
  const std::vector<NamedFile> outputs = Outputs(line);
  std::vector<NamedFile> others = Inputs(line);
  for (const NamedFile& output : outputs) {
    for (const NamedFile& other : others) {
      if (SameFile(output.m_path, other.m_path)) {
        *error = output.m_role + " " + output.m_path + " is the same file as " + other.m_role +
                 " " + other.m_path + ": writing it would destroy it; choose another name";
        return false;
      }
    }
    others.push_back(output);
  }
  return true;
}

}  // namespace tessarin
