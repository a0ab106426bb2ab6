#include "image/last_file_memory.h"

#include <system_error>

#include "image/utf16.h"
#include "platform/file_io.h"

namespace tessarin {

std::optional<std::filesystem::path> StartupDirectory(std::string* err) {
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::current_path(ec);
  if (ec) {
    if (err) *err = "current directory: " + ec.message();
    return std::nullopt;
  }
  return dir;
}

std::filesystem::path MemoryFilePath(const std::filesystem::path& startupDir) {
  return startupDir / kMemoryFileName;
}

std::vector<uint8_t> EncodeMemoryFile(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(2 * text.size() + 2);
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

std::u16string DecodeMemoryFile(std::span<const uint8_t> bytes) {
  std::u16string text;
  // The block is read as if two zero bytes followed it, so an odd last byte pairs with zero.
  for (size_t i = 0; i < bytes.size(); i += 2) {
    const uint8_t high = i + 1 < bytes.size() ? bytes[i + 1] : 0;
    const auto c = static_cast<char16_t>(bytes[i] | (high << 8));
    if (c == 0) break;
    text += c;
  }
  return text;
}

std::optional<std::u16string> ReadMemoryFile(const std::filesystem::path& configPath,
                                             std::string* err) {
  const WholeFile file = ReadWholeFile(configPath, kMaxMemoryFileSize);
  std::string error;
  switch (file.m_failure) {
    case FileReadFailure::kNone:
      return DecodeMemoryFile(file.m_bytes);
    case FileReadFailure::kCannotOpen:
      error = file.m_error;
      break;
    case FileReadFailure::kTooLarge:
      error = file.m_grew ? PathForMessage(configPath) + ": grew too long while it was read"
                          : PathForMessage(configPath) + ": " + std::to_string(file.m_fileSize) +
                                " bytes is too long to hold a path";
      break;
    case FileReadFailure::kReadError:
      error = "read " + PathForMessage(configPath) + ": " + file.m_error;
      break;
  }
  if (err) *err = error;
  return std::nullopt;
}

bool WriteMemoryFile(const std::filesystem::path& configPath, std::u16string_view text,
                     std::string* err) {
  // A zero character would end the text early on the next read.
  if (text.find(u'\0') != std::u16string_view::npos) {
    if (err) *err = "the path holds a zero character and cannot be remembered";
    return false;
  }
  std::string error;
  if (!WriteFileReplacing(configPath, EncodeMemoryFile(text), &error)) {
    if (err) *err = error;
    return false;
  }
  return true;
}

std::optional<std::filesystem::path> LoadLastFile(const std::filesystem::path& configPath,
                                                  std::string* err) {
  std::optional<std::u16string> text = ReadMemoryFile(configPath, err);
  if (!text) return std::nullopt;
  std::string error;
  std::optional<std::filesystem::path> path = Utf16ToPath(*text, &error);
  if (!path) {
    if (err)
      *err =
          PathForMessage(configPath) + ": remembered path is not a file name here (" + error + ")";
    return std::nullopt;
  }
  return path;
}

bool SaveLastFile(const std::filesystem::path& configPath, const std::filesystem::path& imagePath,
                  std::string* err) {
  return WriteMemoryFile(configPath, PathToUtf16(imagePath), err);
}

}  // namespace tessarin
