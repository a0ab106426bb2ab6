// burn: the window's Burn rule, an optional backup, then the burn with progress.
#include <ostream>

#include "burn/burn_status.h"
#include "burn/burn_worker.h"
#include "burn/serial_number.h"
#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "hid/device_info.h"
#include "hid/eeprom_range.h"
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
  const EepromWalkResult read = ReadEepromInto(
      hid, 0, EEPROM_BYTES, &eeprom,
      [&](std::uint32_t next) { reporter.Progress("Backing up...", static_cast<long>(next)); });
  reporter.EndLine();
  if (read.m_outcome != EepromWalk::kDone) {
    return console.Fail(EXIT_DEVICE_FAILED, "backup: reading the EEPROM failed at " +
                                                HexAddress(read.m_address) +
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

/// Runs the burn on this thread, reporting to `reporter`.
BurnResult RunWorker(HidDeviceManager& hid, BurnJob job, ProgressReporter& reporter) {
  BurnFlags flags;
  flags.m_deviceOpen = true;
  // Ctrl+C, SIGTERM and SIGHUP ask the burn to stop at its next block, as
  // closing the window does: the device keeps 0xFF in its first byte
  // instead of a half-written image that looks valid.
  StopSignalGuard stopSignals(flags.m_cancelRequested);
  BurnWorker worker(hid, flags, reporter);
  return worker.RunSynchronously(std::move(job));
}

/// Prints how the burn ended (the result event in JSON) and returns its exit
/// code.
int ReportBurn(BurnResult result, const ProgressReporter& reporter, Console& console) {
  const bool burned = result == BurnResult::kDone;
  const int code = burned ? EXIT_OK : EXIT_DEVICE_FAILED;
  if (console.m_json) {
    nlohmann::json done = {{"event", "result"},
                           {"ok", burned},
                           {"result", burned                           ? "burned"
                                      : result == BurnResult::kStopped ? "stopped"
                                                                       : "failed"}};
    if (const std::optional<BurnStatus> last = reporter.LastStatus()) {
      done["status"] = BurnStatusCode(*last);
    }
    done["text"] = reporter.LastStatusText();
    done["exitCode"] = code;
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
    console.Warn(
        "the image is burned and verified, but reading the device's version back "
        "failed: check it with `tessarin-cli info`");
  }
  if (result == BurnResult::kStopped) {
    console.Fail(code,
                 "the burn was stopped before its commit: the device is not usable until "
                 "an image is burned into it. Burn again");
  } else if (!burned) {
    console.Fail(code, std::string(reporter.LastStatusText()) +
                           ": check the cable and burn again; `--trace FILE` records every "
                           "frame for a bug report");
  }
  return code;
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
  if (!verdict.Burnable()) {
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

  ProgressReporter reporter(ChooseProgressStyle(global), console.m_out,
                            static_cast<long>(image->ImageSize()), ProgressColumns());
  const BurnScope scope =
      options.m_changedOnly ? BurnScope::kChangedBlocks : BurnScope::kWholeImage;
  const BurnResult result = RunWorker(session.Hid(), BurnJob{image, serial, scope}, reporter);
  reporter.EndLine();
  return FinishSession(session, console, ReportBurn(result, reporter, console));
}

}  // namespace tessarin
