// A record store that hands every call to another: the tests and benchmarks
// derive from it to change one call (fail it, time it, make the store
// unreachable).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "station/record_store.h"

namespace tessarin::testing {

class ForwardingStore : public RecordStore {
 public:
  explicit ForwardingStore(RecordStore& store) : m_store(store) {}
  bool BeginSession(const StationIdentity& s, std::vector<SpentSerial>* spent,
                    std::string* e) override {
    return m_store.BeginSession(s, spent, e);
  }
  void EndSession() override { m_store.EndSession(); }
  bool StartUnit(UnitRecord* r, const SerialSeries* series, std::string* e) override {
    return m_store.StartUnit(r, series, e);
  }
  bool FinishUnit(const UnitRecord& r, SerialFate f, std::string* e) override {
    return m_store.FinishUnit(r, f, e);
  }
  bool AddUnit(UnitRecord* r, std::string* e) override { return m_store.AddUnit(r, e); }
  std::optional<std::vector<UnitRecord>> Units(const std::string& since, std::string* e) override {
    return m_store.Units(since, e);
  }
  bool ReleaseSerial(const std::string& s, std::string* e) override {
    return m_store.ReleaseSerial(s, e);
  }
  std::optional<SerialState> StateOfSerial(const std::string& s, std::string* e) override {
    return m_store.StateOfSerial(s, e);
  }
  bool Available(std::string* why) override { return m_store.Available(why); }
  std::string Pending() override { return m_store.Pending(); }
  std::string Now() override { return m_store.Now(); }

 private:
  RecordStore& m_store;
};

}  // namespace tessarin::testing
