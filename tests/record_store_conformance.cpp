// What every record store does, whatever keeps the records: the serial
// policy, dead stations, several connections at once, the units' fields and
// the operator's release.
#include "record_store_conformance.h"

#include <set>
#include <thread>
#include <vector>

#include "station/record_time.h"

namespace tessarin {

void RecordStoreConformance::SetUp() { m_factory = GetParam().m_make(); }

void RecordStoreConformance::TearDown() { m_factory.reset(); }

std::unique_ptr<RecordStore> RecordStoreConformance::Open() {
  std::string error;
  auto store = m_factory->Open(&error);
  EXPECT_TRUE(store) << error;
  return store;
}

namespace {

UnitRecord DraftUnit(const std::string& port) {
  UnitRecord r;
  r.m_startedAt = UtcNowIso8601();
  r.m_port = port;
  return r;
}

SerialSeries FormatSeries(const char* text, std::uint64_t start = 1) {
  std::string error;
  const auto format = SerialFormat::Parse(text, &error);
  EXPECT_TRUE(format) << error;
  return *MakeFormatSeries(*format, start, &error);
}

SerialSeries ListSeries(std::vector<std::string> serials) {
  SerialSeries series;
  series.m_list = std::move(serials);
  series.m_listFile = "/lists/serials.txt";
  return series;
}

/// Starts a unit with `series` and ends it at once with `fate`; its serial.
std::string BurnOne(RecordStore& store, const SerialSeries& series, SerialFate fate) {
  UnitRecord unit = DraftUnit("p1");
  std::string error;
  EXPECT_TRUE(store.StartUnit(&unit, &series, &error)) << error;
  unit.m_outcome = fate == SerialFate::kUsed ? UnitOutcome::kPassed : UnitOutcome::kFailed;
  unit.m_endedAt = UtcNowIso8601();
  EXPECT_TRUE(store.FinishUnit(unit, fate, &error)) << error;
  return unit.m_serial;
}

}  // namespace

TEST_P(RecordStoreConformance, SerialFatesAndReleaseFollowWhereTheBurnEnded) {
  auto store = Open();
  ASSERT_TRUE(store);
  std::string error;
  ASSERT_TRUE(store->BeginSession({"bench-1"}, nullptr, &error)) << error;
  const SerialSeries series = FormatSeries("S{:03}");

  struct Step {
    SerialFate fate;
    const char* serial;  // the one reserved
    SerialState state;   // its state afterwards
  };
  // A serial given back (the burn ended before its descriptor) goes to the
  // next unit; one that may have reached a device never comes back.
  const Step steps[] = {
      {SerialFate::kUsed, "S001", SerialState::kUsed},
      {SerialFate::kReturned, "S002", SerialState::kFree},
      {SerialFate::kFailed, "S002", SerialState::kFailed},
      {SerialFate::kUsed, "S003", SerialState::kUsed},
  };
  for (const Step& step : steps) {
    UnitRecord unit = DraftUnit("p1");
    ASSERT_TRUE(store->StartUnit(&unit, &series, &error)) << error;
    EXPECT_EQ(unit.m_serial, step.serial);
    EXPECT_EQ(store->StateOfSerial(unit.m_serial, &error), SerialState::kReserved);
    unit.m_outcome = UnitOutcome::kFailed;
    unit.m_endedAt = UtcNowIso8601();
    ASSERT_TRUE(store->FinishUnit(unit, step.fate, &error)) << error;
    EXPECT_EQ(store->StateOfSerial(unit.m_serial, &error), step.state) << step.serial;
  }
  // Only the operator gives a failed serial back, and never one that passed.
  EXPECT_FALSE(store->ReleaseSerial("S001", &error));
  EXPECT_NE(error.find("passed"), std::string::npos);
  EXPECT_FALSE(store->ReleaseSerial("S999", &error));
  ASSERT_TRUE(store->ReleaseSerial("S002", &error)) << error;
  UnitRecord again = DraftUnit("p1");
  ASSERT_TRUE(store->StartUnit(&again, &series, &error));
  EXPECT_EQ(again.m_serial, "S002");
  UnitRecord next = DraftUnit("p1");
  ASSERT_TRUE(store->StartUnit(&next, &series, &error));
  EXPECT_EQ(next.m_serial, "S004");

  const auto units = store->Units("", &error);
  ASSERT_TRUE(units);
  EXPECT_EQ(units->size(), 6u);
  EXPECT_EQ(store->Units("2999-01-01", &error)->size(), 0u);
}

TEST_P(RecordStoreConformance, ADeadStationsReservationsAreSpentALiveOnesKept) {
  std::string error;
  const SerialSeries series = FormatSeries("R{}");
  {
    auto dead = Open();
    ASSERT_TRUE(dead);
    ASSERT_TRUE(dead->BeginSession({"dead"}, nullptr, &error));
    UnitRecord unit = DraftUnit("p1");
    ASSERT_TRUE(dead->StartUnit(&unit, &series, &error));
    EXPECT_EQ(unit.m_serial, "R1");
  }  // never finished, never ended
  m_factory->MakeOpenSessionsLookDead();
  auto alive = Open();
  ASSERT_TRUE(alive);
  std::vector<SpentSerial> spent;
  ASSERT_TRUE(alive->BeginSession({"alive"}, &spent, &error));
  ASSERT_EQ(spent.size(), 1u);
  EXPECT_EQ(spent[0].m_serial, "R1");
  EXPECT_EQ(spent[0].m_port, "p1");
  UnitRecord running = DraftUnit("p2");
  ASSERT_TRUE(alive->StartUnit(&running, &series, &error));
  EXPECT_EQ(running.m_serial, "R2");

  auto third = Open();
  ASSERT_TRUE(third);
  spent.clear();
  ASSERT_TRUE(third->BeginSession({"third"}, &spent, &error));
  EXPECT_TRUE(spent.empty());
  EXPECT_EQ(third->StateOfSerial("R1", &error), SerialState::kSpent);
  EXPECT_EQ(third->StateOfSerial("R2", &error), SerialState::kReserved);  // its station still runs
  UnitRecord fresh = DraftUnit("p3");
  ASSERT_TRUE(third->StartUnit(&fresh, &series, &error));
  EXPECT_EQ(fresh.m_serial, "R3");
  const auto units = third->Units("", &error);
  ASSERT_TRUE(units);
  EXPECT_EQ((*units)[0].m_outcome, UnitOutcome::kInterrupted);
  EXPECT_NE((*units)[0].m_endedAt, "");
  EXPECT_EQ((*units)[1].m_outcome, UnitOutcome::kRunning);
}

TEST_P(RecordStoreConformance, TwoConnectionsReservingAtOnceGetDisjointSerials) {
  std::string error;
  const SerialSeries series = FormatSeries("P{:04}");
  auto a = Open();
  auto b = Open();
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->BeginSession({"a"}, nullptr, &error));
  ASSERT_TRUE(b->BeginSession({"b"}, nullptr, &error));
  std::vector<std::string> got[2];
  const auto reserve = [&](RecordStore* store, std::vector<std::string>* out) {
    for (int i = 0; i < 40; ++i) {
      UnitRecord unit = DraftUnit("p");
      std::string e;
      if (store->StartUnit(&unit, &series, &e)) out->push_back(unit.m_serial);
    }
  };
  std::thread ta(reserve, a.get(), &got[0]);
  std::thread tb(reserve, b.get(), &got[1]);
  ta.join();
  tb.join();
  std::set<std::string> all(got[0].begin(), got[0].end());
  all.insert(got[1].begin(), got[1].end());
  EXPECT_EQ(got[0].size() + got[1].size(), 80u);
  EXPECT_EQ(all.size(), 80u);
}

TEST_P(RecordStoreConformance, AListHandsOutInItsOrderAndSaysWhenEveryOneIsTaken) {
  auto store = Open();
  ASSERT_TRUE(store);
  std::string error;
  ASSERT_TRUE(store->BeginSession({"s"}, nullptr, &error));
  const SerialSeries list = ListSeries({"L1", "L2", "L3"});
  EXPECT_EQ(BurnOne(*store, list, SerialFate::kUsed), "L1");
  EXPECT_EQ(BurnOne(*store, list, SerialFate::kReturned), "L2");
  EXPECT_EQ(BurnOne(*store, list, SerialFate::kFailed), "L2");  // given back: first again
  EXPECT_EQ(BurnOne(*store, list, SerialFate::kUsed), "L3");

  // A unit that gets no serial is not recorded: nothing half-done stays.
  const std::size_t before = store->Units("", &error)->size();
  UnitRecord unit = DraftUnit("p1");
  EXPECT_FALSE(store->StartUnit(&unit, &list, &error));
  EXPECT_NE(error.find("every serial of /lists/serials.txt is taken"), std::string::npos) << error;
  EXPECT_EQ(store->Units("", &error)->size(), before);

  // Released, the failed one is the list's only free serial.
  ASSERT_TRUE(store->ReleaseSerial("L2", &error)) << error;
  EXPECT_EQ(BurnOne(*store, list, SerialFate::kUsed), "L2");
}

TEST_P(RecordStoreConformance, AFormatSkipsSerialsHandedOutElsewhereAndGoesOnWhereItWas) {
  std::string error;
  {
    auto store = Open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->BeginSession({"s"}, nullptr, &error));
    EXPECT_EQ(BurnOne(*store, ListSeries({"F002"}), SerialFate::kUsed), "F002");
    const SerialSeries format = FormatSeries("F{:03}");
    EXPECT_EQ(BurnOne(*store, format, SerialFate::kUsed), "F001");
    EXPECT_EQ(BurnOne(*store, format, SerialFate::kUsed), "F003");  // F002 is the list's
    store->EndSession();
  }
  // Another connection (another day) goes on from the store's counter; a
  // start beyond it jumps ahead, one below it does not go back.
  auto store = Open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->BeginSession({"s"}, nullptr, &error));
  EXPECT_EQ(BurnOne(*store, FormatSeries("F{:03}"), SerialFate::kUsed), "F004");
  EXPECT_EQ(BurnOne(*store, FormatSeries("F{:03}", 10), SerialFate::kUsed), "F010");
  EXPECT_EQ(BurnOne(*store, FormatSeries("F{:03}", 2), SerialFate::kUsed), "F011");
  // Another format is another series, with its own counter.
  EXPECT_EQ(BurnOne(*store, FormatSeries("G{}"), SerialFate::kUsed), "G1");
}

TEST_P(RecordStoreConformance, UnitsKeepEveryFieldAndComeOldestFirst) {
  auto store = Open();
  ASSERT_TRUE(store);
  std::string error;
  ASSERT_TRUE(store->BeginSession({"line-3"}, nullptr, &error));
  UnitRecord refused = DraftUnit("hub-2");
  refused.m_startedAt = "2026-12-08T10:00:00.000Z";
  refused.m_endedAt = "2026-12-08T10:00:00.050Z";
  refused.m_station = "line-3";
  refused.m_device = "1234:8041";
  refused.m_outcome = UnitOutcome::kRefused;
  refused.m_message = "Not Kestrova Device (1234:8041)";
  ASSERT_TRUE(store->AddUnit(&refused, &error)) << error;

  UnitRecord unit = DraftUnit("hub-1");
  unit.m_startedAt = "2026-12-08T09:00:00.000Z";
  unit.m_station = "line-3";
  unit.m_device = "0495:8041";
  unit.m_versionBefore = "1.0";
  unit.m_curBefore = "1";
  unit.m_imagePath = "/fw/fw.rom";
  unit.m_imageSize = 30000;
  unit.m_imageSha256 = std::string(64, 'a');
  unit.m_toolVersion = "0.9.1";
  const SerialSeries series = FormatSeries("U-{}");
  ASSERT_TRUE(store->StartUnit(&unit, &series, &error)) << error;
  EXPECT_NE(unit.m_id, refused.m_id);
  EXPECT_EQ(store->Units("", &error)->front().m_outcome, UnitOutcome::kRunning);
  unit.m_endedAt = "2026-12-08T09:00:07.500Z";
  unit.m_versionAfter = "2.5";
  unit.m_curAfter = "7";
  unit.m_outcome = UnitOutcome::kStopped;
  unit.m_statusCode = 2;
  unit.m_statusText = "Downloading failed";
  unit.m_bytes = 12288;
  unit.m_durationMs = 7500;
  unit.m_backupFile = "/backups/2026-12-08T09_00_00-hub-1.eeprom";
  unit.m_message = "unplugged during the burn; the device holds no valid image";
  ASSERT_TRUE(store->FinishUnit(unit, SerialFate::kReturned, &error)) << error;

  const auto units = store->Units("", &error);
  ASSERT_TRUE(units) << error;
  ASSERT_EQ(units->size(), 2u);
  EXPECT_EQ((*units)[0], unit);  // started first
  EXPECT_EQ((*units)[1], refused);
  const auto since = store->Units("2026-12-08T09:30", &error);
  ASSERT_TRUE(since);
  ASSERT_EQ(since->size(), 1u);
  EXPECT_EQ(since->front().m_port, "hub-2");
}

TEST_P(RecordStoreConformance, OnlyAFailedOrSpentSerialIsReleased) {
  std::string error;
  const SerialSeries series = FormatSeries("X{}");
  {
    auto dead = Open();
    ASSERT_TRUE(dead);
    ASSERT_TRUE(dead->BeginSession({"dead"}, nullptr, &error));
    UnitRecord unit = DraftUnit("p1");
    ASSERT_TRUE(dead->StartUnit(&unit, &series, &error));  // X1, spent below
  }
  m_factory->MakeOpenSessionsLookDead();
  auto store = Open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->BeginSession({"s"}, nullptr, &error));
  EXPECT_EQ(BurnOne(*store, series, SerialFate::kUsed), "X2");
  EXPECT_EQ(BurnOne(*store, series, SerialFate::kFailed), "X3");
  EXPECT_EQ(BurnOne(*store, series, SerialFate::kReturned), "X4");
  UnitRecord running = DraftUnit("p2");
  ASSERT_TRUE(store->StartUnit(&running, &series, &error));
  EXPECT_EQ(running.m_serial, "X4");

  struct Case {
    const char* serial;
    bool released;
    const char* why;
  };
  const Case cases[] = {
      {"X1", true, ""},  // spent by the station that died
      {"X2", false, "on a unit that passed"},
      {"X3", true, ""},
      {"X3", false, "is free already"},
      {"X4", false, "reserved by a running burn"},
      {"X9", false, "never handed out"},
  };
  for (const Case& c : cases) {
    error.clear();
    EXPECT_EQ(store->ReleaseSerial(c.serial, &error), c.released) << c.serial;
    EXPECT_NE(error.find(c.why), std::string::npos) << c.serial << ": " << error;
  }
  EXPECT_EQ(store->StateOfSerial("X1", &error), SerialState::kFree);
  EXPECT_EQ(store->StateOfSerial("X9", &error), std::nullopt);
  // The lowest given back goes first.
  EXPECT_EQ(BurnOne(*store, series, SerialFate::kUsed), "X1");
  EXPECT_EQ(BurnOne(*store, series, SerialFate::kUsed), "X3");
  EXPECT_EQ(BurnOne(*store, series, SerialFate::kUsed), "X5");
}

TEST_P(RecordStoreConformance, AUnitWithoutSeriesGetsNoSerial) {
  auto store = Open();
  ASSERT_TRUE(store);
  std::string error;
  ASSERT_TRUE(store->BeginSession({"s"}, nullptr, &error));
  UnitRecord unit = DraftUnit("p1");
  unit.m_serial = "left over";
  ASSERT_TRUE(store->StartUnit(&unit, nullptr, &error)) << error;
  EXPECT_EQ(unit.m_serial, "");
  unit.m_outcome = UnitOutcome::kPassed;
  ASSERT_TRUE(store->FinishUnit(unit, SerialFate::kUsed, &error)) << error;
  EXPECT_EQ(store->Units("", &error)->front().m_serial, "");
}

}  // namespace tessarin
