#include "image/utf16.h"

#include <cstdio>
#include <type_traits>

namespace tessarin {
namespace {

constexpr char16_t kEscapeBase = 0xDC00;  // U+DC80..U+DCFF stand for the bytes 0x80..0xFF

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence at the start of `s`, and its code point; 0 if invalid.
size_t DecodeOne(std::string_view s, char32_t* cp) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  size_t len;
  char32_t min;
  char32_t value;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, min = 0x80, value = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, min = 0x800, value = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, min = 0x10000, value = b0 & 0x07;
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (!IsContinuation(b)) return 0;
    value = (value << 6) | (b & 0x3F);
  }
  // Overlong forms, encoded surrogates and values past U+10FFFF are not UTF-8.
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *cp = value;
  return len;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    char32_t cp = 0;
    const size_t len = DecodeOne(bytes.substr(i), &cp);
    if (len == 0) {
      out += static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(bytes[i]));
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += len;
  }
  return out;
}

std::optional<std::string> Utf16ToUtf8(std::u16string_view text, std::string* err) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                          (static_cast<char32_t>(text[i + 1]) - 0xDC00));
      ++i;
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      out += static_cast<char>(c - kEscapeBase);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      if (err) {
        char where[64];
        std::snprintf(where, sizeof where, "unpaired surrogate U+%04X at position %zu",
                      static_cast<unsigned>(c), i);
        *err = where;
      }
      return std::nullopt;
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

// The native text of a path is bytes on Linux and UTF-16 on Windows. These are templates so
// that only the branch for this system's native character type is compiled.
template <typename Char>
std::u16string NativeToUtf16(const std::basic_string<Char>& native) {
  if constexpr (std::is_same_v<Char, char>) {
    return Utf8ToUtf16(native);
  } else {
    return std::u16string(native.begin(), native.end());
  }
}

template <typename Char>
std::optional<std::basic_string<Char>> Utf16ToNative(std::u16string_view text, std::string* err) {
  if constexpr (std::is_same_v<Char, char>) {
    return Utf16ToUtf8(text, err);
  } else {
    return std::basic_string<Char>(text.begin(), text.end());
  }
}

std::u16string PathToUtf16(const std::filesystem::path& path) {
  return NativeToUtf16(path.native());
}

std::optional<std::filesystem::path> Utf16ToPath(std::u16string_view text, std::string* err) {
  auto native = Utf16ToNative<std::filesystem::path::value_type>(text, err);
  if (!native) return std::nullopt;
  return std::filesystem::path(std::move(*native));
}

std::string PathForMessage(const std::filesystem::path& path) {
  std::u16string text = PathToUtf16(path);
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF && (c < 0xDC80 || c > 0xDCFF)) {
      text[i] = u'\uFFFD';
    }
  }
  // Escaped bytes come back as themselves, so a Linux path is shown as its own bytes.
  return Utf16ToUtf8(text).value_or(std::string());
}

}  // namespace tessarin
