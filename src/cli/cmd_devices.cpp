// list and info: the attached devices and the target's version fields.
#include <cstdio>
#include <ostream>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"

namespace tessarin {

namespace {

std::string ClassKind(const DeviceClass& deviceClass) {
  if (deviceClass.m_notOwnDevice) return "not-kestrova";
  if (deviceClass.m_deviceForeignFirmware) return "foreign-firmware";
  return "kestrova";
}

nlohmann::json DeviceJson(const HidDeviceEntry& entry, const DeviceClass& deviceClass) {
  return {{"path", entry.devicePath},           {"vendorId", Hex4(entry.vendorId)},
          {"productId", Hex4(entry.productId)}, {"reportMode", static_cast<int>(entry.reportMode)},
          {"line", deviceClass.m_line},         {"class", ClassKind(deviceClass)}};
}

void PrintDeviceLine(Console& console, std::size_t index, const HidDeviceEntry& entry,
                     const DeviceClass& deviceClass) {
  char text[128];
  std::snprintf(text, sizeof text, "%lu%s %-24s %s:%s  mode %d  ",
                static_cast<unsigned long>(index), index == 0 ? "*" : " ",
                deviceClass.m_line.c_str(), Hex4(entry.vendorId).c_str(),
                Hex4(entry.productId).c_str(), static_cast<int>(entry.reportMode));
  console.m_out << text << entry.devicePath << '\n';
}

}  // namespace

int RunList(const GlobalOptions& global, const ListOptions& options, Console& console) {
  std::string error;
  int code = EXIT_OK;
  auto session = DeviceSession::Create(global, &error, &code);
  if (!session) return console.Fail(code, error);

  const auto& entries = session->Hid().Entries();
  const auto& skipped = session->Hid().Skipped();
  if (console.m_json) {
    nlohmann::json devices = nlohmann::json::array();
    for (const auto& entry : entries) {
      devices.push_back(DeviceJson(*entry, ClassifyDevice(entry->vendorId, entry->productId)));
    }
    nlohmann::json result = {{"event", "list"}, {"devices", devices}};
    if (options.m_all) {
      nlohmann::json left = nlohmann::json::array();
      for (const auto& s : skipped) {
        left.push_back({{"path", s.m_info.m_path},
                        {"vendorId", Hex4(s.m_info.m_vendorId)},
                        {"productId", Hex4(s.m_info.m_productId)},
                        {"outputReportByteLength", s.m_info.m_outputReportByteLength},
                        {"featureReportByteLength", s.m_info.m_featureReportByteLength},
                        {"reason", s.m_reason}});
      }
      result["skipped"] = left;
    }
    console.Emit(result);
  } else {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      PrintDeviceLine(console, i, *entries[i],
                      ClassifyDevice(entries[i]->vendorId, entries[i]->productId));
    }
    if (options.m_all) {
      for (const auto& s : skipped) {
        console.m_out << "-  skipped " << s.m_info.m_path << "  " << Hex4(s.m_info.m_vendorId)
                      << ':' << Hex4(s.m_info.m_productId) << "  output "
                      << s.m_info.m_outputReportByteLength << " / feature "
                      << s.m_info.m_featureReportByteLength << " bytes: " << s.m_reason << '\n';
      }
    }
  }
  if (entries.empty()) {
    std::string message = session->NoDeviceMessage();
    if (!options.m_all && !skipped.empty()) message += "\n(`list --all` shows these too)";
    return FinishSession(*session, console, console.Fail(EXIT_NO_DEVICE, message));
  }
  return FinishSession(*session, console, EXIT_OK);
}

int RunInfo(const GlobalOptions& global, const InfoOptions& options, Console& console) {
  int code = EXIT_OK;
  auto target = OpenDeviceTarget(global, options.m_device, console, &code);
  if (!target) return code;
  HidDeviceManager& hid = target->m_session->Hid();
  const HidDeviceEntry& entry = *target->m_entry;
  DeviceClass deviceClass = ClassifyDevice(entry.vendorId, entry.productId);
  const std::optional<std::string> version = ReadDeviceVersion(hid);
  const std::string shownVersion = version.value_or(kNoEepromText);
  std::string cur = ReadDeviceCur(hid);
  // A burn writes the image's first byte last; 0xFF there means no image was
  // committed (a stopped burn, or a blank device), whatever the fields say.
  std::uint8_t first = 0;
  const bool firstRead = hid.ReadBlock(0, 1, &first);
  const bool committed = firstRead && first != 0xFF;

  if (console.m_json) {
    nlohmann::json result = DeviceJson(entry, deviceClass);
    result["event"] = "info";
    result["version"] = shownVersion;
    result["cur"] = cur;
    result["committed"] = committed;
    console.Emit(result);
  } else {
    console.m_out << "Device:   " << entry.devicePath << "  " << Hex4(entry.vendorId) << ':'
                  << Hex4(entry.productId) << "  " << TrimmedLine(deviceClass.m_line)
                  << "  (report mode " << static_cast<int>(entry.reportMode) << ")\n"
                  << "Version:  " << shownVersion << '\n'
                  << "Cur:      " << cur << '\n'
                  << "Image:    "
                  << (committed ? "committed"
                                : "none committed (its first byte is 0xFF: a burn was stopped "
                                  "or none was made)")
                  << '\n';
  }
  if (firstRead && !committed) {
    console.Warn("the device holds no committed image: it will not run until an image is "
                 "burned into it");
  }
  // As in the window, an unreadable EEPROM shows "No EEPROM"; for a script
  // that is a failed device operation.
  if (!version) {
    code = console.Fail(EXIT_DEVICE_FAILED,
                        "the device did not answer the EEPROM read: unplug it, plug it in "
                        "again and retry");
  }
  return FinishSession(*target->m_session, console, code);
}

}  // namespace tessarin
