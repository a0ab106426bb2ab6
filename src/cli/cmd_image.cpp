// image and make-image: an image file's fields and verdict, and sample images.
#include <algorithm>
#include <charconv>
#include <ostream>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "image/file_time.h"
#include "image/rom_image.h"
#include "platform/file_io.h"

namespace tessarin {

namespace {

/// 1 to 4 hex digits, with or without "0x".
std::optional<std::uint16_t> ParseHexId(std::string text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
  if (text.empty() || text.size() > 4) return std::nullopt;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

std::optional<int> ParseByte(const std::string& text) {
  int value = -1;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0 || value > 255) {
    return std::nullopt;
  }
  return value;
}

/// What `image` shows: the file's fields and time, and the verdict on the
/// target when there is one.
struct ImageReport {
  const std::string& m_file;
  const RomImage& m_image;
  ImageFields m_fields;
  std::string m_fileTime;  ///< empty when the time cannot be shown
  HidDeviceManager::Entry m_target;
  std::optional<ImageVerdict> m_verdict;
  /// An empty image has no commit byte: nothing can be burned from it.
  bool m_empty = false;
};

void EmitImageJson(const ImageReport& r, Console& console) {
  const ImageFields& fields = r.m_fields;
  nlohmann::json result = {{"event", "image"},
                           {"file", r.m_file},
                           {"size", r.m_image.ImageSize()},
                           {"fileTime", r.m_fileTime}};
  result["version"] =
      fields.m_hasHeader
          ? nlohmann::json(FormatVersion(fields.m_versionMajor, fields.m_versionMinor))
          : nlohmann::json(nullptr);
  result["cur"] =
      fields.m_hasHeader ? nlohmann::json(FormatCur(fields.m_cur)) : nlohmann::json(nullptr);
  result["hasIds"] = fields.m_hasIds;
  if (fields.m_hasIds) {
    result["vendorId"] = Hex4(fields.m_vid);
    result["productId"] = Hex4(fields.m_pid);
  }
  const std::optional<ImageVerdict>& verdict = r.m_verdict;
  if (r.m_empty) {
    result["verdict"] = "empty";
    result["message"] = "the image is empty: nothing can be burned from it";
  } else if (verdict) {
    result["device"] = {{"path", r.m_target->devicePath},
                        {"vendorId", Hex4(r.m_target->vendorId)},
                        {"productId", Hex4(r.m_target->productId)},
                        {"line", verdict->m_deviceClass.m_line}};
    result["verdict"] = VerdictWord(verdict->m_kind);
    result["message"] = verdict->m_message;
  } else {
    result["verdict"] = "no-device";
  }
  console.Emit(result);
}

void PrintImageText(const ImageReport& r, Console& console) {
  const ImageFields& fields = r.m_fields;
  console.m_out << "File:     " << r.m_file << '\n'
                << "Size:     " << r.m_image.ImageSize() << " bytes\n";
  if (fields.m_hasHeader) {
    console.m_out << "Version:  " << FormatVersion(fields.m_versionMajor, fields.m_versionMinor)
                  << '\n'
                  << "Cur:      " << FormatCur(fields.m_cur) << '\n';
  } else {
    console.m_out << "Version:  --  (shorter than 16 bytes: no header fields)\n"
                  << "Cur:      --\n";
  }
  console.m_out << "Time:     " << (r.m_fileTime.empty() ? "--" : r.m_fileTime) << '\n';
  if (fields.m_hasIds) {
    console.m_out << "Ids:      " << Hex4(fields.m_vid) << ':' << Hex4(fields.m_pid) << '\n';
  } else if (fields.m_hasIdArea) {
    console.m_out << "Ids:      none (no identifier block: suits any Kestrova device)\n";
  } else {
    console.m_out << "Ids:      none (too short for an identifier block)\n";
  }
  const std::optional<ImageVerdict>& verdict = r.m_verdict;
  if (r.m_empty) {
    console.m_out << "Verdict:  cannot be burned: the image is empty\n";
  } else if (verdict) {
    console.m_out << "Device:   " << r.m_target->devicePath << "  " << Hex4(r.m_target->vendorId)
                  << ':' << Hex4(r.m_target->productId) << "  "
                  << TrimmedLine(verdict->m_deviceClass.m_line) << '\n'
                  << "Verdict:  "
                  << (verdict->Burnable() ? "suits the device" : "refused: " + verdict->m_message)
                  << '\n';
  } else {
    console.m_out << "Verdict:  no device to compare with\n";
  }
}

}  // namespace

int RunImage(const GlobalOptions& global, const ImageOptions& options, Console& console) {
  int code = EXIT_OK;
  auto loaded = LoadImage(options.m_file, console, &code);
  if (!loaded) return code;
  ImageReport report{
      options.m_file, *loaded->m_image, ParseImageFields(loaded->m_image->ImageData()), {}, {},
      std::nullopt};
  if (loaded->m_lastWriteTicks) {
    ConvertedFileTime converted = ConvertFileTime(*loaded->m_lastWriteTicks);
    if (converted.m_valid) report.m_fileTime = FormatFileTime(converted.m_fields);
  }

  // The verdict needs a device; without one the image is still shown.
  std::string error;
  int sessionCode = EXIT_OK;
  std::unique_ptr<DeviceSession> session = DeviceSession::Create(global, &error, &sessionCode);
  if (!session && sessionCode == EXIT_BAD_INPUT) return console.Fail(sessionCode, error);
  if (session) report.m_target = session->OpenTarget(options.m_device, &error);
  if (!report.m_target && !options.m_device.empty()) return console.Fail(EXIT_NO_DEVICE, error);

  if (report.m_target) report.m_verdict = JudgeImage(*report.m_target, report.m_image.ImageData());
  report.m_empty = report.m_image.ImageData().empty();

  if (console.m_json) {
    EmitImageJson(report, console);
  } else {
    PrintImageText(report, console);
  }
  if (report.m_empty) {
    code = EXIT_BAD_INPUT;
  } else if (report.m_verdict && !report.m_verdict->Burnable()) {
    code = EXIT_NO_DEVICE;
  }
  return session ? FinishSession(*session, console, code) : code;
}

int RunMakeImage(const GlobalOptions& global, const MakeImageOptions& options, Console& console) {
  (void)global;
  std::size_t dot = options.m_version.find('.');
  std::optional<int> major, minor;
  if (dot != std::string::npos) {
    major = ParseByte(options.m_version.substr(0, dot));
    minor = ParseByte(options.m_version.substr(dot + 1));
  }
  if (!major || !minor) {
    return console.Fail(EXIT_BAD_INPUT, "--version " + options.m_version +
                                            ": expected MAJOR.MINOR, each 0 to 255, e.g. 1.2");
  }
  if (options.m_cur < 0 || options.m_cur > 65535) {
    return console.Fail(EXIT_BAD_INPUT, "--cur " + std::to_string(options.m_cur) +
                                            ": expected a number from 0 to 65535");
  }
  if (options.m_size < 0 || options.m_size > 16 * 1024 * 1024) {
    return console.Fail(EXIT_BAD_INPUT, "--size " + std::to_string(options.m_size) +
                                            ": expected 0 to 16777216 bytes (32768 fills "
                                            "the EEPROM)");
  }
  std::optional<ImageIds> ids;
  if (!options.m_vid.empty() || !options.m_pid.empty()) {
    std::optional<std::uint16_t> vid = ParseHexId(options.m_vid);
    std::optional<std::uint16_t> pid = ParseHexId(options.m_pid);
    if (!vid || !pid) {
      return console.Fail(EXIT_BAD_INPUT,
                          "--vid and --pid: expected 1 to 4 hex digits each, "
                          "e.g. --vid 0495 --pid 8041");
    }
    ids = ImageIds{*vid, *pid};
  }

  std::string error;
  auto bytes = MakeImage(static_cast<std::int32_t>(options.m_size),
                         static_cast<std::uint8_t>(*major), static_cast<std::uint8_t>(*minor),
                         static_cast<std::uint16_t>(options.m_cur), ids, &error);
  if (!bytes) return console.Fail(EXIT_BAD_INPUT, "make-image: " + error);
  // The serial-number area blank (0xFF), as a burn without a serial number
  // leaves it, so that a device burned with this image reads back equal.
  if (bytes->size() > static_cast<std::size_t>(SERIAL_ADDRESS)) {
    std::size_t end = std::min<std::size_t>(bytes->size(), EEPROM_BYTES);
    std::fill(bytes->begin() + SERIAL_ADDRESS, bytes->begin() + static_cast<long>(end), 0xFF);
  }
  if (!WriteFileReplacing(options.m_out, *bytes, &error)) {
    return console.Fail(EXIT_BAD_INPUT, error + ": check the output path");
  }
  if (console.m_json) {
    nlohmann::json result = {{"event", "make-image"},
                             {"file", options.m_out},
                             {"size", options.m_size},
                             {"version", FormatVersion(static_cast<std::uint8_t>(*major),
                                                       static_cast<std::uint8_t>(*minor))},
                             {"cur", FormatCur(static_cast<std::uint16_t>(options.m_cur))},
                             {"hasIds", ids.has_value()}};
    if (ids) {
      result["vendorId"] = Hex4(ids->m_vid);
      result["productId"] = Hex4(ids->m_pid);
    }
    console.Emit(result);
  } else {
    console.m_out << "Wrote " << options.m_out << ": " << options.m_size << " bytes, version "
                  << *major << '.' << *minor << ", Cur " << options.m_cur;
    if (ids) console.m_out << ", for " << Hex4(ids->m_vid) << ':' << Hex4(ids->m_pid);
    console.m_out << '\n';
  }
  if (options.m_size > EEPROM_BYTES) {
    console.Warn("the image is larger than the EEPROM's 32768 bytes: it will be refused");
  }
  return EXIT_OK;
}

}  // namespace tessarin
