#include "store/store_rules.h"

#include <charconv>

namespace tessarin {

std::optional<std::string> ReleaseRefusal(const std::string& serial,
                                          std::optional<SerialState> state,
                                          const std::string& readError) {
  if (!state && !readError.empty()) return readError;
  const std::string named = "serial \"" + serial + "\"";
  if (!state) return named + " was never handed out by this store";
  switch (*state) {
    case SerialState::kFree:
      return named + " is free already: no unit keeps it";
    case SerialState::kReserved:
    case SerialState::kUsed:
      return named + " is " +
             (*state == SerialState::kUsed ? "on a unit that passed"
                                           : "reserved by a running burn") +
             "; only a spent or failed serial can be released";
    case SerialState::kFailed:
    case SerialState::kSpent:
      break;
  }
  return std::nullopt;
}

std::string UnitColumnList(const std::string& prefix) {
  std::string list;
  for (const char* name : kUnitColumnNames) {
    if (!list.empty()) list += ", ";
    list += prefix + name;
  }
  return list;
}

std::vector<std::string> UnitColumnTexts(const UnitRecord& r) {
  return {r.m_startedAt,
          r.m_endedAt,
          r.m_station,
          r.m_port,
          r.m_device,
          r.m_versionBefore,
          r.m_curBefore,
          r.m_versionAfter,
          r.m_curAfter,
          r.m_imagePath,
          std::to_string(r.m_imageSize),
          r.m_imageSha256,
          r.m_serial,
          OutcomeWord(r.m_outcome),
          std::to_string(r.m_statusCode),
          r.m_statusText,
          std::to_string(r.m_bytes),
          std::to_string(r.m_durationMs),
          r.m_toolVersion,
          r.m_backupFile,
          r.m_message};
}

std::optional<UnitRecord> UnitFromColumnTexts(std::int64_t id,
                                              const std::vector<std::string>& texts,
                                              std::string* error) {
  const std::string unit = "unit " + std::to_string(id);
  if (texts.size() != kUnitColumnNames.size()) {
    if (error) *error = unit + " has " + std::to_string(texts.size()) + " fields";
    return std::nullopt;
  }
  std::size_t at = 0;
  bool numbersOk = true;
  const auto text = [&] { return texts[at++]; };
  const auto number = [&] {
    const std::string& t = texts[at++];
    std::int64_t value = 0;
    if (t.empty()) return value;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
    if (ec != std::errc() || end != t.data() + t.size()) numbersOk = false;
    return value;
  };
  UnitRecord r;
  r.m_id = id;
  r.m_startedAt = text();
  r.m_endedAt = text();
  r.m_station = text();
  r.m_port = text();
  r.m_device = text();
  r.m_versionBefore = text();
  r.m_curBefore = text();
  r.m_versionAfter = text();
  r.m_curAfter = text();
  r.m_imagePath = text();
  r.m_imageSize = number();
  r.m_imageSha256 = text();
  r.m_serial = text();
  const std::string outcome = text();
  r.m_statusCode = static_cast<int>(number());
  r.m_statusText = text();
  r.m_bytes = number();
  r.m_durationMs = number();
  r.m_toolVersion = text();
  r.m_backupFile = text();
  r.m_message = text();
  const std::optional<UnitOutcome> word = OutcomeFromWord(outcome);
  if (!word) {
    if (error) *error = unit + " has an unknown result \"" + outcome + "\"";
    return std::nullopt;
  }
  if (!numbersOk) {
    if (error) *error = unit + " has a number that is none";
    return std::nullopt;
  }
  r.m_outcome = *word;
  return r;
}

}  // namespace tessarin
