// burn: the window's Burn rule, an optional backup, then the burn with progress.
#include <ostream>

#include "burn/burn_status.h"
#include "burn/burn_worker.h"
#include "burn/serial_number.h"
#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "hid/device_info.h"
#include "hid/protocol.h"
#include "image/rom_image.h"
#include "image/utf16.h"
#include "platform/file_io.h"
#include "platform/signals.h"

namespace tessarin {

namespace {

/// Reads the whole EEPROM into `file`; prints the error and returns its exit
/// code on failure, EXIT_OK otherwise.
int WriteBackup(HidDeviceManager& hid, const std::string& file, const GlobalOptions& global,
                Console& console) {
  ProgressReporter reporter(ChooseProgressStyle(global), console.m_out,
                            static_cast<long>(EEPROM_BYTES), ProgressColumns());
  std::vector<std::uint8_t> eeprom;
  std::uint32_t failedAddress = 0;
  bool read = ReadEeprom(hid, EEPROM_BYTES, &eeprom, &failedAddress,
                         [&](long next) { reporter.Progress("Backing up...", next); });
  reporter.EndLine();
  if (!read) {
    return console.Fail(EXIT_DEVICE_FAILED, "backup: reading the EEPROM failed at " +
                                                HexAddress(failedAddress) +
                                                "; nothing was burned. Check the device and retry");
  }
  std::string error;
  if (!WriteFileReplacing(file, eeprom, &error)) {
    return console.Fail(EXIT_BAD_INPUT,
                        "backup: " + error + "; nothing was burned. Choose another --backup path");
  }
  if (console.m_json) {
    console.Emit({{"event", "backup"}, {"file", file}, {"size", eeprom.size()}});
  } else {
    console.m_out << "Saved the device's " << eeprom.size() << " bytes in " << file << '\n';
  }
  return EXIT_OK;
}

}  // namespace

int RunBurn(const GlobalOptions& global, const BurnOptions& options, Console& console) {
  int code = EXIT_OK;
  const SharedRomImage image = LoadNonEmptyImage(options.m_file, "burn", console, &code);
  if (!image) return code;
  const std::u16string serial = Utf8ToUtf16(options.m_serial.value_or(""));
  if (std::string why; !IsValidSerialNumber(serial, &why)) {
    return console.Fail(EXIT_BAD_INPUT, "--serial: " + why + "; choose another serial number");
  }

  auto target = OpenDeviceTarget(global, options.m_device, console, &code);
  if (!target) return code;
  DeviceSession& session = *target->m_session;

  ImageVerdict verdict = JudgeImage(*target->m_entry, image->ImageData());
  if (!verdict.m_burnable) {
    if (!options.m_force) {
      return FinishSession(
          session, console,
          console.Fail(EXIT_NO_DEVICE, verdict.m_message + ": burn refused; pass --force to "
                                                           "burn it anyway"));
    }
    console.Warn(verdict.m_message + ": burning anyway (--force)");
  }

  if (!options.m_backup.empty()) {
    code = WriteBackup(session.Hid(), options.m_backup, global, console);
    if (code != EXIT_OK) return FinishSession(session, console, code);
  }

  BurnFlags flags;
  flags.m_deviceOpen = 1;
  ProgressReporter reporter(ChooseProgressStyle(global), console.m_out,
                            static_cast<long>(image->ImageSize()), ProgressColumns());
  BurnResult result = BurnResult::kFailed;
  {
    // Ctrl+C, SIGTERM and SIGHUP ask the burn to stop at its next block, as
    // closing the window does: the device keeps 0xFF in its first byte
    // instead of a half-written image that looks valid.
    StopSignalGuard stopSignals(flags.m_cancelRequested);
    BurnWorker worker(session.Hid(), flags, reporter);
    const BurnScope scope =
        options.m_changedOnly ? BurnScope::kChangedBlocks : BurnScope::kWholeImage;
    result = worker.RunSynchronously(BurnJob{image, serial, scope});
  }
  reporter.EndLine();

  const bool burned = result == BurnResult::kDone;
  code = burned ? EXIT_OK : EXIT_DEVICE_FAILED;
  if (console.m_json) {
    nlohmann::json done = {{"event", "result"},
                           {"ok", burned},
                           {"result", burned                           ? "burned"
                                      : result == BurnResult::kStopped ? "stopped"
                                                                       : "failed"},
                           {"status", reporter.LastCode()},
                           {"text", BurnStatusText(reporter.LastCode())},
                           {"exitCode", code}};
    if (const auto& compared = reporter.Compared()) {
      done["skippedBlocks"] = compared->SkippedBlocks();
    }
    if (burned) {
      done["version"] = reporter.Version();
      done["cur"] = reporter.Cur();
    }
    console.Emit(done);
  } else if (burned && reporter.Version() != kNoEepromText) {
    console.m_out << "Device version " << reporter.Version() << ", Cur " << reporter.Cur() << '\n';
  }
  if (burned && reporter.Version() == kNoEepromText) {
    console.Warn("the image is burned and verified, but reading the device's version back "
                 "failed: check it with `tessarin-cli info`");
  }
  if (result == BurnResult::kStopped) {
    console.Fail(code,
                 "the burn was stopped before its commit: the device is not usable until "
                 "an image is burned into it. Burn again");
  } else if (!burned) {
    console.Fail(code, std::string(BurnStatusText(reporter.LastCode())) +
                           ": check the cable and burn again; `--trace FILE` records every "
                           "frame for a bug report");
  }
  return FinishSession(session, console, code);
}

}  // namespace tessarin
