// `station --board` through the built tool: its options checked before the
// station starts, the URL it prints, and a port another board holds; and the
// README's account of the board's JSON.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/board_json.h"
#include "board/board_server.h"
#include "station/slot_board.h"
#include "store/sqlite_record_store.h"
#include "support/cli_run.h"

namespace tessarin::testing {
namespace {

TEST_F(CliRun, BoardOptionsAreCheckedAndATokenIsNeverPrinted) {
  const std::string image = MakeImage("fw.rom", {"--vid", "0495", "--pid", "8041"}).string();
  const std::string db = (m_dir / "s.db").string();
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* says;  // on the error stream
  };
  const Case cases[] = {
      {{"--board", "nonsense"}, 2, "--board nonsense: expected PORT, ADDRESS:PORT"},
      {{"--board", "70000"}, 2, "--board 70000: expected PORT"},
      {{"--board", "bench.example:80"}, 2, "no numeric address"},
      {{"--board-token", "Tok3n-Tok3n-Tok3n"}, 2, "--board"},
      {{"--board", "0", "--board-token", "Tok3n"}, 2, "--board-token: give 12 to 256"},
      {{"--board", "0", "--board-token", "Tok3n Tok3n Tok3n"}, 2, "--board-token: use only"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--simulate", "none", "station", image, "--db", db, "--once"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult run = Run(args);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ((run.out + run.err).find("Tok3n"), std::string::npos) << run.out << run.err;
  }

  // A board that was asked for is named before the station looks for devices;
  // with --json the events keep the output to themselves.
  const RunResult plain =
      Run({"--simulate", "none", "station", image, "--db", db, "--once", "--board", "0"});
  EXPECT_EQ(plain.exitCode, 3) << plain.err;
  EXPECT_NE(plain.out.find("Board: http://127.0.0.1:"), std::string::npos) << plain.out;
  const RunResult json = Run({"--simulate", "none", "--json", "station", image, "--db", db,
                              "--once", "--board", "0", "--board-token", "Tok3n-Tok3n-Tok3n"});
  EXPECT_EQ(json.exitCode, 3) << json.err;
  EXPECT_EQ(json.out.find("Board:"), std::string::npos);
  EXPECT_NE(json.err.find("Board: http://127.0.0.1:"), std::string::npos) << json.err;
  EXPECT_NE(json.err.find("(add ?token= and the --board-token text)"), std::string::npos);
  EXPECT_EQ((json.out + json.err).find("Tok3n"), std::string::npos);
}

TEST_F(CliRun, ABoardPortThatIsTakenStopsTheStationBeforeItStarts) {
  std::string error;
  auto store = SqliteRecordStore::Open((m_dir / "other.db").string(), &error);
  ASSERT_TRUE(store) << error;
  SlotBoard slots;
  BoardServer other(slots, *store, {}, std::nullopt, {});
  ASSERT_TRUE(other.Start(&error)) << error;
  const std::string port = std::to_string(other.Access().m_port);
  const std::string image = MakeImage("fw.rom", {"--vid", "0495", "--pid", "8041"}).string();
  const RunResult run = Run({"--simulate", Spec(), "station", image, "--db",
                             (m_dir / "s.db").string(), "--once", "--board", port});
  EXPECT_EQ(run.exitCode, 2) << run.err;
  EXPECT_NE(run.err.find("--board " + port + ": cannot listen on 127.0.0.1:" + port),
            std::string::npos)
      << run.err;
  // The station never began: nothing was burned.
  EXPECT_EQ(run.out.find("burning"), std::string::npos) << run.out;
}

// The README's `/api/state` section names every state a slot can be in, as
// the JSON spells it: a script written from it must know each one.
TEST(BoardReadme, NamesEverySlotStateTheJsonGives) {
  const std::string readme = ReadText(TESSARIN_README_PATH);
  const std::string opening = "- `state` is one of ";
  const std::size_t at = readme.find(opening);
  ASSERT_NE(at, std::string::npos) << "no \"" << opening << "\" in " << TESSARIN_README_PATH;
  const std::string item = readme.substr(at, readme.find("\n- ", at + 1) - at);
  for (int s = 0; s <= static_cast<int>(SlotState::kRefused); ++s) {
    const std::string word = SlotStateWord(static_cast<SlotState>(s));
    EXPECT_NE(item.find("`" + word + "`"), std::string::npos)
        << "the README's list of states lacks " << word << ":\n"
        << item;
  }
}

}  // namespace
}  // namespace tessarin::testing
