// UTF-8 <-> UTF-16 for path texts.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tessarin {

/// Decodes UTF-8. Never fails: a byte that is not part of a valid sequence (Linux file names
/// are bytes) becomes the lone surrogate U+DC00 + byte, so that Utf16ToUtf8 gives the very
/// same bytes back.
std::u16string Utf8ToUtf16(std::string_view bytes);

/// Encodes UTF-16 as UTF-8; lone surrogates U+DC80..U+DCFF become the single bytes they stand
/// for. Fails (nullopt, reason in *err) on any other unpaired surrogate, which no byte string
/// stands for.
std::optional<std::string> Utf16ToUtf8(std::u16string_view text, std::string* err = nullptr);

/// A path's native text as UTF-16 (Linux: its bytes decoded as above; Windows: as is).
std::u16string PathToUtf16(const std::filesystem::path& path);
/// The inverse of PathToUtf16; fails only where Utf16ToUtf8 does (never on Windows).
std::optional<std::filesystem::path> Utf16ToPath(std::u16string_view text,
                                                 std::string* err = nullptr);

/// A path as text for messages: its bytes on Linux, UTF-8 on Windows (an unpaired surrogate
/// shown as U+FFFD). Never throws.
std::string PathForMessage(const std::filesystem::path& path);

}  // namespace tessarin
