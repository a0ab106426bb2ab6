#include "board/units_feed.h"

#include <algorithm>

namespace tessarin {

UnitsFeed::UnitsFeed(RecordStore& store, std::string station,
                     std::optional<std::vector<std::string>> serialList, std::string since,
                     std::size_t keep)
    : m_store(store),
      m_station(std::move(station)),
      m_serialList(std::move(serialList)),
      m_since(std::move(since)),
      m_keep(keep) {}

bool UnitsFeed::Refresh(std::string* error) {
  auto units = m_store.Units(m_since, error);
  if (!units) return false;
  std::vector<UnitRecord> ended;
  std::string oldestRunning;
  for (UnitRecord& r : *units) {
    if (r.m_station != m_station) continue;
    if (r.m_outcome == UnitOutcome::kRunning) {
      if (oldestRunning.empty() || r.m_startedAt < oldestRunning) oldestRunning = r.m_startedAt;
      continue;
    }
    ended.push_back(std::move(r));
  }
  std::stable_sort(ended.begin(), ended.end(), [](const UnitRecord& a, const UnitRecord& b) {
    return a.m_endedAt != b.m_endedAt ? a.m_endedAt > b.m_endedAt : a.m_id > b.m_id;
  });
  if (ended.size() > m_keep) ended.resize(m_keep);
  // The next read starts at the oldest unit that may still be shown: one
  // kept now, or one running now that may end later.
  if (ended.size() == m_keep) {
    std::string since = oldestRunning;
    for (const UnitRecord& r : ended) {
      if (since.empty() || r.m_startedAt < since) since = r.m_startedAt;
    }
    m_since = std::max(m_since, since);
  }
  BoardUnits next;
  next.m_latest = std::move(ended);
  next.m_serialsLeft = CountSerialsLeft(error);
  const bool changed =
      next.m_latest != m_units.m_latest || next.m_serialsLeft != m_units.m_serialsLeft;
  m_units = std::move(next);
  return changed;
}

std::optional<std::int64_t> UnitsFeed::CountSerialsLeft(std::string* error) {
  if (!m_serialList) return std::nullopt;
  std::int64_t left = 0;
  for (const std::string& serial : *m_serialList) {
    std::string why;
    const auto state = m_store.StateOfSerial(serial, &why);
    if (!state) {
      if (!why.empty()) {
        if (error) *error = why;
        return std::nullopt;
      }
      ++left;  // never handed out
    } else if (*state == SerialState::kFree) {
      ++left;
    }
  }
  return left;
}

}  // namespace tessarin
