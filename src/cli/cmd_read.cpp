// verify and dump: reading the device's EEPROM without writing.
#include <algorithm>
#include <ostream>

#include "burn/burn_status.h"
#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "hid/eeprom_range.h"
#include "hid/protocol.h"
#include "platform/file_io.h"

namespace tessarin {

namespace {

struct Comparison {
  bool m_readFailed = false;
  bool m_differs = false;
  std::uint32_t m_address = 0;  ///< the failed block, or the first differing byte
  std::uint8_t m_deviceByte = 0;
  std::uint8_t m_imageByte = 0;
};

/// Compares the device with `expected` block by block, posting BURN_COMPARING with the
/// next address after each block, and stops at the first difference.
Comparison CompareDevice(HidDeviceManager& hid, std::span<const std::uint8_t> expected,
                         ProgressReporter& reporter) {
  Comparison comparison;
  reporter.PostStatus(BurnStatus::BURN_COMPARING, 0);
  const EepromWalkResult walk = ReadEepromRange(
      hid, 0, static_cast<std::uint32_t>(expected.size()),
      [&](std::uint32_t address, std::span<const std::uint8_t> bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
          if (bytes[i] != expected[address + i]) {
            comparison.m_differs = true;
            comparison.m_address = address + static_cast<std::uint32_t>(i);
            comparison.m_deviceByte = bytes[i];
            comparison.m_imageByte = expected[address + i];
            return false;
          }
        }
        reporter.PostStatus(BurnStatus::BURN_COMPARING, static_cast<long>(address + bytes.size()));
        return true;
      });
  if (walk.m_outcome == EepromWalk::kReadFailed) {
    comparison.m_readFailed = true;
    comparison.m_address = walk.m_address;
  }
  return comparison;
}

}  // namespace

int RunVerify(const GlobalOptions& global, const VerifyOptions& options, Console& console) {
  int code = EXIT_OK;
  const SharedRomImage loaded = LoadNonEmptyImage(options.m_file, "compare", console, &code);
  if (!loaded) return code;
  const std::vector<std::uint8_t>& image = loaded->ImageData();
  // The burn writes the device's serial-number descriptor over the image's
  // last 64 bytes, so they are not the image's any more and are left out.
  const std::size_t compared = std::min<std::size_t>(image.size(), SERIAL_ADDRESS);

  auto target = OpenDeviceTarget(global, options.m_device, console, &code);
  if (!target) return code;
  DeviceSession& session = *target->m_session;

  ProgressReporter reporter(ChooseProgressStyle(global), console.m_out, static_cast<long>(compared),
                            ProgressColumns());
  Comparison comparison = CompareDevice(session.Hid(), std::span(image.data(), compared), reporter);
  bool ok = !comparison.m_readFailed && !comparison.m_differs;
  const BurnStatus status = ok ? BurnStatus::BURN_COMPARED_OK : BurnStatus::BURN_COMPARE_FAILED;
  reporter.PostStatus(status, 0);

  if (console.m_json) {
    nlohmann::json result = {{"event", "result"},
                             {"ok", ok},
                             {"status", BurnStatusCode(status)},
                             {"text", BurnStatusText(status)},
                             {"compared", compared},
                             {"exitCode", ok ? EXIT_OK : EXIT_DEVICE_FAILED}};
    if (comparison.m_differs) {
      result["firstDifference"] = HexAddress(comparison.m_address);
      result["deviceByte"] = comparison.m_deviceByte;
      result["imageByte"] = comparison.m_imageByte;
    }
    if (comparison.m_readFailed) result["readFailedAt"] = HexAddress(comparison.m_address);
    console.Emit(result);
  } else if (ok) {
    console.m_out << "The device holds the image's " << compared << " bytes";
    if (compared < image.size())
      console.m_out << " (the serial-number area from 0x7FC0 on is the burn's own)";
    console.m_out << '\n';
  }

  if (comparison.m_differs) {
    char detail[96];
    std::snprintf(detail, sizeof detail, "first difference at %s: device 0x%02X, image 0x%02X",
                  HexAddress(comparison.m_address).c_str(), comparison.m_deviceByte,
                  comparison.m_imageByte);
    code = console.Fail(EXIT_DEVICE_FAILED,
                        std::string(detail) + "; burn the image again to repair the device");
  } else if (comparison.m_readFailed) {
    code = console.Fail(EXIT_DEVICE_FAILED, "reading the EEPROM failed at " +
                                                HexAddress(comparison.m_address) +
                                                ": check the cable and retry");
  }
  return FinishSession(session, console, code);
}

int RunDump(const GlobalOptions& global, const DumpOptions& options, Console& console) {
  int code = EXIT_OK;
  auto target = OpenDeviceTarget(global, options.m_device, console, &code);
  if (!target) return code;
  DeviceSession& session = *target->m_session;

  ProgressReporter reporter(ChooseProgressStyle(global), console.m_out,
                            static_cast<long>(EEPROM_BYTES), ProgressColumns());
  std::vector<std::uint8_t> eeprom;
  const EepromWalkResult read = ReadEepromInto(
      session.Hid(), 0, EEPROM_BYTES, &eeprom,
      [&](std::uint32_t next) { reporter.Progress("Reading...", static_cast<long>(next)); });
  reporter.EndLine();
  if (read.m_outcome != EepromWalk::kDone) {
    return FinishSession(session, console,
                         console.Fail(EXIT_DEVICE_FAILED, "reading the EEPROM failed at " +
                                                              HexAddress(read.m_address) +
                                                              ": check the cable and retry"));
  }
  std::string error;
  if (!WriteFileReplacing(options.m_file, eeprom, &error)) {
    return FinishSession(session, console,
                         console.Fail(EXIT_BAD_INPUT, error + ": check the output path"));
  }
  if (console.m_json) {
    console.Emit({{"event", "result"},
                  {"ok", true},
                  {"file", options.m_file},
                  {"size", eeprom.size()},
                  {"exitCode", EXIT_OK}});
  } else {
    console.m_out << "Wrote the device's " << eeprom.size() << " bytes to " << options.m_file
                  << '\n';
  }
  return FinishSession(session, console, EXIT_OK);
}

}  // namespace tessarin
