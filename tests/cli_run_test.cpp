// End-to-end runs of the built tessarin-cli against simulated devices whose
// EEPROMs are kept in a scratch directory between runs.
#include "support/cli_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace tessarin::testing {
namespace {

TEST_F(CliRun, ListShowsTheDevicesAndWithAllTheSkippedInterfacesAndWhy) {
  const std::string spec = "default;vid=1234,pid=0001;mode=none;probe=0;deny-open=1";
  RunResult plain = Run({"--simulate", spec, "list"});
  EXPECT_EQ(plain.exitCode, 0) << plain.err;
  auto lines = Lines(plain.out);
  ASSERT_EQ(lines.size(), 2u) << plain.out;
  EXPECT_NE(lines[0].find("   Kestrova device"), std::string::npos);
  EXPECT_NE(lines[0].find("0495:8041  mode 1  sim:0"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("  Not Kestrova Device"), std::string::npos);
  EXPECT_NE(lines[1].find("1234:0001"), std::string::npos);

  RunResult all = Run({"--simulate", spec, "list", "--all", "--json"});
  EXPECT_EQ(all.exitCode, 0) << all.err;
  auto json = nlohmann::json::parse(all.out);
  ASSERT_EQ(json["devices"].size(), 2u);
  EXPECT_EQ(json["devices"][1]["class"], "not-kestrova");
  ASSERT_EQ(json["skipped"].size(), 3u) << all.out;
  EXPECT_EQ(json["skipped"][0]["path"], "sim:2");
  EXPECT_EQ(json["skipped"][0]["outputReportByteLength"], 64);
  EXPECT_NE(json["skipped"][1]["reason"].get<std::string>().find("no answer to the probe"),
            std::string::npos);
  EXPECT_NE(json["skipped"][2]["reason"].get<std::string>().find("Permission denied"),
            std::string::npos);
}

// A plug plan's first unit is plugged in as the program starts: every command finds it, and a
// unit planned to vanish at once is gone for all of them.
TEST_F(CliRun, PlugPlansFirstUnitIsADeviceForEveryCommand) {
  fs::path image = MakeImage("plan.rom");
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* says;
  };
  const Case cases[] = {
      {{"--simulate", "units=2", "list"}, 0, "0495:8041  mode 1  sim:0"},
      {{"--simulate", "units=2", "info"}, 0, "Version:"},
      {{"--simulate", "units=2", "burn", image.string()}, 0, "Successed"},
      {{"--simulate", "units=1,vanish-after=0", "list"}, 3, "gives no usable device"},
      {{"--simulate", "units=1,vanish-after=0", "burn", image.string()}, 3, "no device found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const RunResult run = Run(c.args);
    EXPECT_EQ(run.exitCode, c.code) << run.err;
    EXPECT_NE((run.out + run.err).find(c.says), std::string::npos) << run.out << run.err;
    EXPECT_EQ(run.err.find("has no device item"), std::string::npos) << run.err;
  }
}

TEST_F(CliRun, NoUsableDeviceExplainsWhatWasSkipped) {
  RunResult run = Run({"--simulate", "mode=none", "list"});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_NE(run.err.find("no device found"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("skipped sim:0: no 65-byte report"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("list --all"), std::string::npos) << run.err;
}

TEST_F(CliRun, BurnThenVerifyAndInfoShowTheNewImageAndDumpEqualsIt) {
  fs::path image = MakeImage("sample.rom", {"--version", "3.8", "--cur", "4660"});
  RunResult burn = Run({"--simulate", Spec(), "burn", image.string()});
  ASSERT_EQ(burn.exitCode, 0) << burn.err;
  EXPECT_NE(burn.out.find("Successed\n"), std::string::npos) << burn.out;
  EXPECT_NE(burn.out.find("Device version 3.8, Cur 4660"), std::string::npos) << burn.out;

  RunResult verify = Run({"--simulate", Spec(), "verify", image.string()});
  EXPECT_EQ(verify.exitCode, 0) << verify.err;
  EXPECT_NE(verify.out.find("Comparing..."), std::string::npos);
  EXPECT_NE(verify.out.find("Compared OK\n"), std::string::npos) << verify.out;

  RunResult info = Run({"--simulate", Spec(), "info"});
  EXPECT_EQ(info.exitCode, 0) << info.err;
  EXPECT_NE(info.out.find("Version:  3.8\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("Cur:      4660\n"), std::string::npos) << info.out;

  fs::path dump = m_dir / "dump.bin";
  RunResult dumped = Run({"--simulate", Spec(), "dump", dump.string()});
  EXPECT_EQ(dumped.exitCode, 0) << dumped.err;
  EXPECT_EQ(ReadBytes(dump), ReadBytes(image));
}

TEST_F(CliRun, VerifyReportsTheFirstChangedAddress) {
  fs::path image = MakeImage("sample.rom");
  ASSERT_EQ(Run({"--simulate", Spec(), "burn", image.string()}).exitCode, 0);
  for (std::uint32_t address : {0x0000u, 0x1234u, 0x7FBFu}) {
    std::vector<std::uint8_t> eeprom = ReadBytes(Eeprom());
    ASSERT_EQ(eeprom.size(), 32768u);
    std::vector<std::uint8_t> changed = eeprom;
    changed[address] ^= 0x5A;
    WriteBytes(Eeprom(), changed);

    RunResult verify = Run({"--simulate", Spec(), "--json", "verify", image.string()});
    EXPECT_EQ(verify.exitCode, 1) << verify.err;
    auto lines = Lines(verify.out);
    ASSERT_GE(lines.size(), 3u);
    auto status = nlohmann::json::parse(lines[lines.size() - 3]);
    auto result = nlohmann::json::parse(lines[lines.size() - 2]);
    EXPECT_EQ(status["code"], 9);
    EXPECT_EQ(status["text"], "Comparision failed");
    char expected[16];
    std::snprintf(expected, sizeof expected, "0x%04X", address);
    EXPECT_EQ(result["firstDifference"], expected);
    EXPECT_EQ(result["deviceByte"], changed[address]);
    EXPECT_NE(verify.err.find(std::string("first difference at ") + expected), std::string::npos)
        << verify.err;
    WriteBytes(Eeprom(), eeprom);
  }
}

TEST_F(CliRun, JsonBurnPostsEveryStatusInOrderThenTheResult) {
  fs::path image = MakeImage("small.rom", {"--size", "100", "--version", "2.1"});
  RunResult burn = Run({"--simulate", Spec(), "--json", "burn", image.string()});
  ASSERT_EQ(burn.exitCode, 0) << burn.err;
  std::vector<std::pair<int, long>> posts;
  nlohmann::json last;
  for (const auto& line : Lines(burn.out)) {
    last = nlohmann::json::parse(line);
    if (last["event"] == "status") posts.emplace_back(last["code"], last.value("count", 0L));
  }
  const std::vector<std::pair<int, long>> expected = {{1, 0},  {1, 60},  {1, 100}, {4, 0},
                                                      {4, 65}, {4, 100}, {6, 0}};
  EXPECT_EQ(posts, expected);
  EXPECT_EQ(last["event"], "result");
  EXPECT_EQ(last["ok"], true);
  EXPECT_EQ(last["version"], "2.1");
  EXPECT_EQ(last["exitCode"], 0);
}

TEST_F(CliRun, ChangedOnlyBurnWritesWhatDiffersAndSaysHowManyBlocksItSkipped) {
  fs::path image = MakeImage("full.rom", {"--version", "2.3"});
  const std::vector<std::uint8_t> bytes = ReadBytes(image);
  // 32767 bytes from address 1: 511 full blocks and one of 63 bytes.
  const long blocks = 512;
  struct Step {
    const char* name;
    std::vector<std::uint32_t> changedAddresses;  // flipped on the device before the burn
    std::vector<std::string> serial;              // --serial and its text, or nothing
    long changedBlocks;
    long comparedBlocks;
    std::vector<int> codes;
    const char* says;  // in the text output of the same burn, run again
  };
  // Over a blank device most of the first blocks differ: the compare stops
  // after 33 of them and the rest is written as a whole burn writes it. The
  // bytes the descriptor step writes are never counted as differing.
  const Step steps[] = {
      {"over a blank device", {}, {}, blocks, 33, {7, 1, 4, 6}, ""},
      {"over itself", {}, {}, 0, blocks, {7, 6}, "0 of 512 blocks differ (0 bytes to write)"},
      {"three bytes changed in two blocks",
       {0x1234, 0x1240, 0x5000},
       {},
       2,
       blocks,
       {7, 1, 4, 6},
       ""},
      {"one byte changed", {0x2000}, {}, 1, blocks, {7, 1, 4, 6}, ""},
      {"with a serial", {}, {"--serial", "KS-000001"}, 0, blocks, {7, 6}, ""},
      {"again with the same serial",
       {},
       {"--serial", "KS-000001"},
       0,
       blocks,
       {7, 6},
       "0 of 512 blocks differ (0 bytes to write); 512 skipped"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (!step.changedAddresses.empty()) {
      std::vector<std::uint8_t> eeprom = ReadBytes(Eeprom());
      for (std::uint32_t a : step.changedAddresses) eeprom[a] ^= 0x77;
      WriteBytes(Eeprom(), eeprom);
    }
    std::vector<std::string> args = {"--simulate", Spec(),         "--json",
                                     "burn",       image.string(), "--changed-only"};
    args.insert(args.end(), step.serial.begin(), step.serial.end());
    const std::vector<std::uint8_t> before = ReadBytes(Eeprom());
    RunResult burn = Run(args);
    ASSERT_EQ(burn.exitCode, 0) << burn.err;
    std::vector<int> codes;
    nlohmann::json compare, result;
    for (const auto& line : Lines(burn.out)) {
      auto event = nlohmann::json::parse(line);
      if (event["event"] == "compare") compare = event;
      if (event["event"] == "result") result = event;
      if (event["event"] == "status" && (codes.empty() || codes.back() != event["code"])) {
        codes.push_back(event["code"]);
      }
    }
    EXPECT_EQ(codes, step.codes);
    EXPECT_EQ(compare["blocks"], blocks);
    EXPECT_EQ(compare["changedBlocks"], step.changedBlocks);
    EXPECT_EQ(compare["comparedBlocks"], step.comparedBlocks);
    EXPECT_EQ(result["skippedBlocks"], blocks - step.changedBlocks);
    EXPECT_EQ(result["version"], "2.3");
    std::vector<std::uint8_t> eeprom = ReadBytes(Eeprom());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 0x7FC0, eeprom.begin()));
    EXPECT_EQ(eeprom[0x7FC0], step.serial.empty() ? 0xFF : 2 + 2 * step.serial[1].size());
    if (step.says[0] != 0) {
      // The same burn from the same contents, in words.
      WriteBytes(Eeprom(), before);
      args.erase(args.begin() + 2);
      RunResult text = Run(args);
      ASSERT_EQ(text.exitCode, 0) << text.err;
      EXPECT_NE(text.out.find(step.says), std::string::npos) << text.out;
    }
  }
}

TEST_F(CliRun, ExitCodesForEachKindOfOutcome) {
  fs::path image = MakeImage("sample.rom");
  fs::path foreign = MakeImage("foreign.rom", {"--vid", "0495", "--pid", "8043"});
  fs::path tooLarge = MakeImage("large.rom", {"--size", "32769"});
  const std::string missing = (m_dir / "missing.rom").string();
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* errorText;
  } cases[] = {
      {{"--help"}, 0, ""},
      {{"--simulate", "default", "burn", image.string()}, 0, ""},
      {{"--simulate", "corrupt=0x100", "burn", image.string()}, 1, "Verifying failed"},
      {{"--simulate", "fail-send=5,fail-send=6,fail-send=7", "burn", image.string()},
       1,
       "Downloading failed"},
      {{"--simulate", "fail-fetch=3,fail-fetch=4,fail-fetch=5", "burn", image.string(),
        "--changed-only"},
       1,
       "Verifying failed"},
      {{"--simulate", "fail-fetch=2,fail-fetch=3,fail-fetch=4", "dump", (m_dir / "d.bin").string()},
       1,
       "reading the EEPROM failed at 0x0000"},
      {{}, 2, "subcommand"},
      {{"frobnicate"}, 2, ""},
      {{"burn"}, 2, "FILE is required"},
      {{"--simulate", "default", "burn", image.string(), "--bogus"}, 2, ""},
      {{"--simulate", "default", "burn", missing}, 2, "check the image file's path"},
      {{"--simulate", "default", "burn", tooLarge.string()}, 2, "The file is not for this device!"},
      {{"--simulate", "ready-after=soon", "list"}, 2, "ready-after=soon"},
      {{"--simulate", "default", "verify", missing}, 2, "missing.rom"},
      {{"make-image", (m_dir / "v.rom").string(), "--version", "1.256"}, 2, "MAJOR.MINOR"},
      {{"make-image", (m_dir / "v.rom").string(), "--vid", "0495"}, 2, "--pid"},
      {{"--simulate", "mode=none", "burn", image.string()}, 3, "no device found"},
      {{"--simulate", "vid=1234", "burn", image.string()}, 3, "Not Kestrova Device"},
      {{"--simulate", "default", "burn", foreign.string()},
       3,
       "The selected file don't support this device"},
      {{"--simulate", "default", "info", "--device", "sim:7"}, 3, "no device at sim:7"},
      {{"--simulate", "default", "image", foreign.string()}, 3, ""},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    RunResult run = Run(c.args);
    EXPECT_EQ(run.exitCode, c.code) << shown << "\n" << run.out << run.err;
    EXPECT_NE(run.err.find(c.errorText), std::string::npos) << shown << "\n" << run.err;
  }
}

TEST_F(CliRun, RefusedImageBurnsWithForceAndTheDeviceKeepsItsContentsWithout) {
  fs::path foreign =
      MakeImage("foreign.rom", {"--vid", "0495", "--pid", "8043", "--version", "4.2"});
  RunResult refused = Run({"--simulate", Spec(), "burn", foreign.string()});
  EXPECT_EQ(refused.exitCode, 3);
  EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
  // The kept EEPROM exists from the device's creation on; it must still be blank.
  const std::vector<std::uint8_t> kept = ReadBytes(Eeprom());
  EXPECT_TRUE(std::all_of(kept.begin(), kept.end(), [](std::uint8_t b) { return b == 0xFF; }))
      << "a refused burn must not write the device";

  RunResult forced = Run({"--simulate", Spec(), "burn", foreign.string(), "--force"});
  EXPECT_EQ(forced.exitCode, 0) << forced.err;
  EXPECT_NE(forced.err.find("burning anyway"), std::string::npos) << forced.err;
  RunResult info = Run({"--simulate", Spec(), "info", "--json"});
  EXPECT_EQ(nlohmann::json::parse(info.out)["version"], "4.2");
}

TEST_F(CliRun, ImageShowsItsFieldsAndTheVerdict) {
  fs::path image =
      MakeImage("ids.rom", {"--vid", "0495", "--pid", "8050", "--version", "3.8", "--cur", "4660"});
  RunResult run = Run({"--simulate", "default", "--json", "image", image.string()});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  auto json = nlohmann::json::parse(run.out);
  EXPECT_EQ(json["version"], "3.8");
  EXPECT_EQ(json["cur"], "4660");
  EXPECT_EQ(json["vendorId"], "0495");
  EXPECT_EQ(json["productId"], "8050");
  EXPECT_EQ(json["verdict"], "suits") << "8050 and 8041 are one family";
  EXPECT_FALSE(json["fileTime"].get<std::string>().empty());
}

TEST_F(CliRun, ImageVerdictNamesTheKindAndTheIdsBehindARefusal) {
  fs::path image = MakeImage("for-8043.rom", {"--vid", "0495", "--pid", "8043"});
  struct Case {
    const char* spec;
    const char* verdict;
    const char* message;
    int exitCode;
  };
  const Case cases[] = {
      {"pid=8045", "suits", "", 0},
      {"default", "refused",
       "The selected file don't support this device (the image is for 0495:8043, the device is "
       "0495:8041)",
       3},
      {"vid=1234,pid=5678", "not-kestrova", "Not Kestrova Device (1234:5678 at sim:0)", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec);
    RunResult run = Run({"--simulate", c.spec, "--json", "image", image.string()});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["verdict"], c.verdict);
    EXPECT_EQ(json["message"], c.message);
  }
}

TEST_F(CliRun, BackupSavesTheOldContentsBeforeBurning) {
  fs::path first = MakeImage("first.rom", {"--version", "1.1"});
  fs::path second = MakeImage("second.rom", {"--version", "2.2", "--size", "4096"});
  ASSERT_EQ(Run({"--simulate", Spec(), "burn", first.string()}).exitCode, 0);
  const std::vector<std::uint8_t> before = ReadBytes(Eeprom());

  fs::path backup = m_dir / "backup.bin";
  RunResult run = Run({"--simulate", Spec(), "burn", second.string(), "--backup", backup.string()});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(ReadBytes(backup), before);
  EXPECT_NE(ReadBytes(Eeprom()), before);
}

TEST_F(CliRun, FailedBackupReadBurnsNothing) {
  fs::path image = MakeImage("sample.rom");
  fs::path trace = m_dir / "trace.txt";
  // The scan's probe is frames 1 and 2; the device is gone for the backup.
  RunResult run = Run({"--simulate", Spec("vanish-after=2"), "--trace", trace.string(), "burn",
                       image.string(), "--backup", (m_dir / "b.bin").string()});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("nothing was burned"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(m_dir / "b.bin"));
  for (const auto& line : Lines(ReadText(trace))) {
    EXPECT_EQ(line.find("send-output ok sim:0 00 17"), std::string::npos) << line;
  }
}

TEST_F(CliRun, TraceOfAPlainFullSizeBurnHasOneLinePerFrame) {
  fs::path image = MakeImage("sample.rom");
  fs::path trace = m_dir / "trace.txt";
  RunResult run = Run({"--simulate", Spec(), "--trace", trace.string(), "burn", image.string()});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  // Sends: probe 1, paged-write query 1, invalidation 1, 547 blocks of 60,
  // 512 verify reads, commit 1 and its read-back 1, serial clear 1 and its
  // read-back 1, version 1, Cur 1. Fetches: one per request with a reply.
  const long sends = 1 + 1 + 1 + 547 + 512 + 1 + 1 + 1 + 1 + 1 + 1;
  const long fetches = 1 + 1 + 512 + 1 + 1 + 1 + 1;
  long sent = 0, fetched = 0;
  for (const auto& line : Lines(ReadText(trace))) {
    std::istringstream words(line);
    std::string transfer, result, path;
    words >> transfer >> result >> path;
    int bytes = 0;
    for (std::string hex; words >> hex;) ++bytes;
    EXPECT_EQ(result, "ok") << line;
    EXPECT_EQ(bytes, 65) << line;
    if (transfer == "send-output") ++sent;
    if (transfer == "fetch-input") ++fetched;
  }
  EXPECT_EQ(sent, sends);
  EXPECT_EQ(fetched, fetches);
}

TEST_F(CliRun, SerialNumberLandsInTheDescriptorAndTooLongIsRefused) {
  fs::path image = MakeImage("sample.rom", {"--size", "1024"});
  ASSERT_EQ(Run({"--simulate", Spec(), "burn", image.string(), "--serial", "ABC"}).exitCode, 0);
  std::vector<std::uint8_t> eeprom = ReadBytes(Eeprom());
  const std::vector<std::uint8_t> descriptor = {8, 3, 'A', 0, 'B', 0, 'C', 0};
  EXPECT_EQ(std::vector<std::uint8_t>(eeprom.begin() + 0x7FC0, eeprom.begin() + 0x7FC8),
            descriptor);
  RunResult tooLong =
      Run({"--simulate", Spec(), "burn", image.string(), "--serial", std::string(32, 'x')});
  EXPECT_EQ(tooLong.exitCode, 2);
  EXPECT_NE(tooLong.err.find("at most 31"), std::string::npos);
}

}  // namespace
}  // namespace tessarin::testing
