// The memory of the last image file chosen: "Kestrova Firmware.cfg" in the start-up directory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin {

inline constexpr char kMemoryFileName[] = "Kestrova Firmware.cfg";
/// A memory file longer than this is not a path (paths have at most 32767 UTF-16 units).
inline constexpr uint64_t kMaxMemoryFileSize = 65536;

/// The current directory, whole (no length limit). nullopt with the reason when it is unknown.
std::optional<std::filesystem::path> StartupDirectory(std::string* err = nullptr);

/// `m_configPath`: `startupDir` joined with kMemoryFileName by the platform's separator.
std::filesystem::path MemoryFilePath(const std::filesystem::path& startupDir);

/// The file's bytes: the text as UTF-16LE plus one zero character, 2 * length + 2 bytes.
std::vector<uint8_t> EncodeMemoryFile(std::u16string_view text);

/// The text of a memory file: UTF-16LE characters up to the first zero character or the end;
/// an odd last byte becomes a final character with high byte zero; a byte-order mark is kept
/// as the first character.
std::u16string DecodeMemoryFile(std::span<const uint8_t> bytes);

/// LoadLastFile's read: nullopt when there is no readable memory file (reason in *err).
/// Never blocks on a FIFO or other non-regular file.
std::optional<std::u16string> ReadMemoryFile(const std::filesystem::path& configPath,
                                             std::string* err = nullptr);

/// SaveLastFile's write: writes a temporary file beside `configPath` and renames it over, so a
/// failure midway leaves the previous memory intact. False with the reason in *err.
bool WriteMemoryFile(const std::filesystem::path& configPath, std::u16string_view text,
                     std::string* err = nullptr);

/// The same for native paths (UTF-8 / raw bytes on Linux). LoadLastFile gives nullopt also
/// when the stored text has an unpaired surrogate that no Linux path stands for.
std::optional<std::filesystem::path> LoadLastFile(const std::filesystem::path& configPath,
                                                  std::string* err = nullptr);
bool SaveLastFile(const std::filesystem::path& configPath, const std::filesystem::path& imagePath,
                  std::string* err = nullptr);

}  // namespace tessarin
