#include "station/record_store.h"

#include <utility>

#include "station/record_time.h"

namespace tessarin {

namespace {

// The one place the stored words are spelt.
constexpr std::pair<UnitOutcome, const char*> kOutcomeWords[] = {
    {UnitOutcome::kRunning, "running"}, {UnitOutcome::kPassed, "passed"},
    {UnitOutcome::kFailed, "failed"},   {UnitOutcome::kStopped, "stopped"},
    {UnitOutcome::kRefused, "refused"}, {UnitOutcome::kInterrupted, "interrupted"},
};

constexpr std::pair<SerialState, const char*> kSerialStateWords[] = {
    {SerialState::kReserved, "reserved"}, {SerialState::kUsed, "used"},
    {SerialState::kFailed, "failed"},     {SerialState::kSpent, "spent"},
    {SerialState::kFree, "free"},
};

template <typename Enum, std::size_t N>
const char* WordOf(const std::pair<Enum, const char*> (&table)[N], Enum value) {
  for (const auto& [item, word] : table) {
    if (item == value) return word;
  }
  return "";
}

template <typename Enum, std::size_t N>
std::optional<Enum> FromWord(const std::pair<Enum, const char*> (&table)[N],
                             std::string_view word) {
  for (const auto& [item, text] : table) {
    if (word == text) return item;
  }
  return std::nullopt;
}

}  // namespace

const char* OutcomeWord(UnitOutcome outcome) { return WordOf(kOutcomeWords, outcome); }

const char* SerialStateWord(SerialState state) { return WordOf(kSerialStateWords, state); }

std::optional<UnitOutcome> OutcomeFromWord(std::string_view word) {
  return FromWord(kOutcomeWords, word);
}

std::optional<SerialState> SerialStateFromWord(std::string_view word) {
  return FromWord(kSerialStateWords, word);
}

namespace {

constexpr std::string_view kUnavailable = "store unavailable";

}  // namespace

bool RecordStore::Available(std::string*) { return true; }

std::string RecordStore::Pending() { return {}; }

std::string RecordStore::Now() { return UtcNowIso8601(); }

std::string StoreUnavailableError(const std::string& cause) {
  return std::string(kUnavailable) + (cause.empty() ? "" : ": " + cause);
}

bool IsStoreUnavailable(const std::string& error) {
  return std::string_view(error).starts_with(kUnavailable);
}

SerialState SerialStateAfter(SerialFate fate) {
  switch (fate) {
    case SerialFate::kUsed:
      return SerialState::kUsed;
    case SerialFate::kFailed:
      return SerialState::kFailed;
    case SerialFate::kReturned:
      return SerialState::kFree;
  }
  return SerialState::kFailed;
}

bool ReserveSerial(const SerialSeries& series, SerialLedger& ledger, std::string* serial,
                   std::string* error) {
  const std::string key = series.Key();
  std::uint64_t counter = 0;
  if (series.m_format) {
    // A serial given back (a burn that ended before its descriptor) goes
    // first. A list meets its free ones in its own order below.
    std::string first;
    if (!ledger.FirstFree(key, &first, error)) return false;
    if (!first.empty()) {
      const SerialLedger::Take take = ledger.Reserve(key, first, error);
      if (take == SerialLedger::Take::kFailedToAsk) return false;
      if (take == SerialLedger::Take::kTaken) {
        *serial = first;
        return true;
      }
    }
    if (!ledger.Counter(key, &counter, error)) return false;
  }
  SerialCandidates candidates(series, counter);
  while (const std::optional<std::string> candidate = candidates.Next(error)) {
    const SerialLedger::Take take = ledger.Reserve(key, *candidate, error);
    if (take == SerialLedger::Take::kFailedToAsk) return false;
    // Handed out before, e.g. by a list or another format: the next one.
    if (take == SerialLedger::Take::kHandedOut) continue;
    if (series.m_format && !ledger.SetCounter(key, candidates.CounterAfter(), error)) return false;
    *serial = *candidate;
    return true;
  }
  return false;
}

}  // namespace tessarin
