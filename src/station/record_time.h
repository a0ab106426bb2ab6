// The times in the unit records: UTC, ISO 8601, compared as text.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace tessarin {

/// The time now, UTC, ISO 8601 with milliseconds: "2026-12-08T14:33:51.123Z".
std::string UtcNowIso8601();
/// The same text of any time.
std::string UtcIso8601(std::chrono::system_clock::time_point at);

/// Normalises a time to compare records' starts with: "2026-12-08",
/// "2026-12-08T14", "2026-12-08T14:00", "2026-12-08 14:00:05",
/// "2026-12-08T14:00:05.123" (one to three digits of a second, as the
/// records print them), each also with a trailing "Z", all UTC; the result
/// has the "T" and no "Z". Null with the reason (what is expected; the
/// caller names the text) when it is none of these or no real time (month
/// 13, 30 February, hour 24).
std::optional<std::string> NormaliseSinceTime(const std::string& text, std::string* error);

}  // namespace tessarin
