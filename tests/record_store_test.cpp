// The serial policy over a store's ledger that fails: every failure ends the
// reservation with the store's reason (the policy itself is in the tests every
// store passes).
#include "station/record_store.h"

#include <gtest/gtest.h>


namespace tessarin {
namespace {

/// A ledger in memory, never handed anything out, that fails at one call.
class FailingLedger : public SerialLedger {
 public:
  enum Call { kReserve, kFirstFree, kCounter, kSetCounter };
  explicit FailingLedger(Call failAt) : m_failAt(failAt) {}

  Take Reserve(const std::string&, const std::string&, std::string* error) override {
    return Fails(kReserve, error) ? Take::kFailedToAsk : Take::kTaken;
  }
  bool FirstFree(const std::string&, std::string* serial, std::string* error) override {
    serial->clear();
    return !Fails(kFirstFree, error);
  }
  bool Counter(const std::string&, std::uint64_t* next, std::string* error) override {
    *next = 0;
    return !Fails(kCounter, error);
  }
  bool SetCounter(const std::string&, std::uint64_t, std::string* error) override {
    return !Fails(kSetCounter, error);
  }

 private:
  bool Fails(Call call, std::string* error) {
    if (call != m_failAt) return false;
    *error = "disk on fire";
    return true;
  }
  Call m_failAt;
};

SerialSeries Format(const char* text) {
  std::string error;
  return *MakeFormatSeries(*SerialFormat::Parse(text, &error), 1, &error);
}

TEST(ReserveSerial, AFailingLedgerFailsTheReservationWithItsReason) {
  SerialSeries list;
  list.m_list = {"A", "B"};
  list.m_listFile = "l.txt";
  const SerialSeries format = Format("F{}");
  struct Case {
    const SerialSeries* series;
    FailingLedger::Call failAt;
  };
  // A list asks for neither a free serial nor a counter.
  const Case cases[] = {
      {&list, FailingLedger::kReserve},      {&format, FailingLedger::kReserve},
      {&format, FailingLedger::kFirstFree},  {&format, FailingLedger::kCounter},
      {&format, FailingLedger::kSetCounter},
  };
  for (const Case& c : cases) {
    FailingLedger ledger(c.failAt);
    std::string serial, error;
    EXPECT_FALSE(ReserveSerial(*c.series, ledger, &serial, &error)) << c.failAt;
    EXPECT_EQ(error, "disk on fire") << c.failAt;
    EXPECT_EQ(serial, "") << c.failAt;
  }
}

}  // namespace
}  // namespace tessarin
