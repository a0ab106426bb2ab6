// The tests every record store must pass, over the RecordStore interface
// alone. A store joins them with one instantiation:
//
//   INSTANTIATE_TEST_SUITE_P(Sqlite, RecordStoreConformance,
//                            ::testing::Values(RecordStoreMaker{"Sqlite", MakeSqliteFactory}),
//                            RecordStoreMakerName);
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "station/record_store.h"

namespace tessarin {

// Test logs print the stored words.
inline void PrintTo(UnitOutcome outcome, std::ostream* out) { *out << OutcomeWord(outcome); }
inline void PrintTo(SerialState state, std::ostream* out) { *out << SerialStateWord(state); }

/// One test's store: made fresh for the test, removed when the factory goes.
class RecordStoreFactory {
 public:
  /// Removes the store and everything it left.
  virtual ~RecordStoreFactory() = default;
  /// A connection to this test's store; the first call finds it empty. Each
  /// call is another connection, as another station's would be. Null with
  /// the reason in *error.
  virtual std::unique_ptr<RecordStore> Open(std::string* error) = 0;
  /// Makes every session open now look like one of a station that died, as
  /// this store tells a dead station (its connections stay usable).
  virtual void MakeOpenSessionsLookDead() = 0;
};

/// How the suite gets a store of one kind.
struct RecordStoreMaker {
  std::string m_name;  ///< the test name's suffix: letters and digits
  std::function<std::unique_ptr<RecordStoreFactory>()> m_make;
};

// Test lists name the store, not the bytes of its maker.
inline void PrintTo(const RecordStoreMaker& maker, std::ostream* out) { *out << maker.m_name; }

inline std::string RecordStoreMakerName(const ::testing::TestParamInfo<RecordStoreMaker>& info) {
  return info.param.m_name;
}

class RecordStoreConformance : public ::testing::TestWithParam<RecordStoreMaker> {
 protected:
  void SetUp() override;
  void TearDown() override;
  /// Another connection to this test's store; fails the test when there is none.
  std::unique_ptr<RecordStore> Open();

  std::unique_ptr<RecordStoreFactory> m_factory;
};

}  // namespace tessarin
