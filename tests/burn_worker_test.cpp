// The burn worker against the simulated device: what it posts, what it
// returns, what it leaves in the EEPROM, and that no fault leaves a valid
// commit byte over a partial image; for the whole burn and for the burn of
// the changed blocks only.
#include "burn/burn_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "burn/burn_status.h"
#include "hid/hid_device_manager.h"
#include "hid/protocol.h"
#include "image/rom_image.h"
#include "platform/trace_backend.h"
#include "sim/sim_backend.h"
#include "sim/sim_device.h"

namespace tessarin {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t OLD_COMMIT = 0x5A;
constexpr std::uint8_t NEW_COMMIT = 0xA5;
constexpr std::uint32_t SERIAL_AT = SERIAL_ADDRESS;

/// Pseudo-random bytes with a chosen first byte; the seed makes old and new
/// images differ everywhere it matters.
Bytes MakeBytes(std::size_t size, std::uint8_t first, unsigned seed) {
  Bytes bytes(size);
  std::mt19937 random(seed);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random() % 255);  // never 0xFF
  if (!bytes.empty()) bytes[0] = first;
  return bytes;
}

/// Records what the worker reports, as text events in order:
/// "1,60", "notice:Downloading failed.|Error", "info:3.8|4660", "finished:0".
class RecordingSink : public BurnStatusSink {
 public:
  explicit RecordingSink(BurnFlags& flags) : m_flags(flags) {}

  void PostStatus(BurnStatus status, long count) override {
    Add(std::to_string(BurnStatusCode(status)) + "," + std::to_string(count));
    std::function<void(BurnStatus, long)> hook;
    {
      std::lock_guard lock(m_mutex);
      hook = onPost;
    }
    if (hook) hook(status, count);
  }
  void ShowStopNotice(const std::string& text, const std::string& caption) override {
    Add("notice:" + text + "|" + caption);
  }
  void DeviceInfoRefreshed(const std::string& version, const std::string& cur) override {
    Add("info:" + version + "|" + cur);
  }
  void CompareFinished(const CompareSummary& s) override {
    Add("compare:" + std::to_string(s.m_blocks) + "|" + std::to_string(s.m_changedBlocks) + "|" +
        std::to_string(s.m_bytesToWrite));
    std::lock_guard lock(m_mutex);
    m_compared = s;
  }
  void WorkerFinished() override {
    Add("finished:" + std::to_string(m_flags.m_workerRunning.load()));
  }

  std::vector<std::string> Events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
  }
  /// The status codes only, runs of progress posts (1, 4 and 7) folded into one.
  std::string Codes() const {
    std::string codes;
    char last = 0;
    for (const auto& e : Events()) {
      if (e.find(',') == std::string::npos) continue;
      const char code = e[0];
      if (code == last && (code == '1' || code == '4' || code == '7')) continue;
      if (!codes.empty()) codes += ' ';
      codes += code;
      last = code;
    }
    return codes;
  }
  bool Contains(const std::string& prefix) const {
    for (const auto& e : Events())
      if (e.rfind(prefix, 0) == 0) return true;
    return false;
  }
  void Clear() {
    std::lock_guard lock(m_mutex);
    m_events.clear();
    m_compared.reset();
  }
  /// What the last compare pass reported.
  std::optional<CompareSummary> Compared() const {
    std::lock_guard lock(m_mutex);
    return m_compared;
  }
  void SetHook(std::function<void(BurnStatus, long)> hook) {
    std::lock_guard lock(m_mutex);
    onPost = std::move(hook);
  }

 private:
  void Add(std::string event) {
    std::lock_guard lock(m_mutex);
    m_events.push_back(std::move(event));
  }

  BurnFlags& m_flags;
  mutable std::mutex m_mutex;
  std::vector<std::string> m_events;
  std::optional<CompareSummary> m_compared;
  std::function<void(BurnStatus, long)> onPost;
};

/// One simulated device, opened by a real device manager, with a worker
/// whose sleeps are instant. `onFrame` sees every transfer, on the thread
/// that made it.
struct Rig {
  explicit Rig(SimDeviceConfig config, const Bytes& eeprom = {}) {
    path = backend.AddDevice(std::move(config));
    device = backend.Device(path);
    if (!eeprom.empty()) device->SetEeprom(0, eeprom);
    hid.Open(hid.Scan());
    flags.m_deviceOpen = true;
    device->ClearFrames();
    sendBase = device->Sends();
    fetchBase = device->Fetches();
  }

  // The result with the values the sequence is known by: 1, 0, -1.
  int Burn(const Bytes& image, std::u16string serial = u"") {
    job.m_image = std::make_shared<const RomImage>(image);
    job.m_serialNo = std::move(serial);
    job.m_scope = scope;
    return static_cast<int>(worker.RunSynchronously(job));
  }

  SimBackend backend;
  std::function<void(const TraceEvent&)> onFrame;
  TraceBackend trace{backend, [this](const TraceEvent& e) {
                       if (onFrame) onFrame(e);
                     }};
  HidDeviceManager hid{trace};
  BurnFlags flags;
  RecordingSink sink{flags};
  BurnWorker worker{hid, flags, sink, [](std::chrono::milliseconds) {}};
  std::string path;
  std::shared_ptr<SimDevice> device;
  BurnJob job;
  BurnScope scope = BurnScope::kWholeImage;
  long sendBase = 0;
  long fetchBase = 0;
};

SimDeviceConfig Config(bool paged, int readyAfter = 0) {
  SimDeviceConfig config;
  config.m_pagedWrite = paged;
  config.m_readyAfter = readyAfter;
  return config;
}

/// Which request a fault aims at: its command and, for the block commands,
/// its address and (when nonzero) length.
struct FrameMatch {
  std::uint8_t command = 0;
  int address = -1;
  int length = 0;
  int nth = 1;  ///< the nth request that matches
};

bool Matches(const SimFrame& frame, const FrameMatch& m) {
  if (frame.m_bytes[1] != m.command) return false;
  const int address = frame.m_bytes[2] << 8 | frame.m_bytes[3];
  if (m.address >= 0 && address != m.address) return false;
  return m.length == 0 || frame.m_bytes[4] == m.length;
}

bool IsSend(FrameTransfer t) {
  return t == FrameTransfer::kSendOutput || t == FrameTransfer::kSendFeature;
}

/// The send ordinal (counted over the burn, from 1) of the matching request,
/// and the ordinal of the fetch that follows it, found by a clean burn on an
/// identical device: the burn is deterministic up to the first fault.
struct Ordinals {
  long send = 0;
  long fetch = 0;
};
Ordinals Locate(const SimDeviceConfig& config, const Bytes& eeprom, const Bytes& image,
                const FrameMatch& match, std::u16string serial, BurnScope scope) {
  Rig rig(config, eeprom);
  rig.scope = scope;
  EXPECT_EQ(rig.Burn(image, serial), 1);
  long sends = 0, fetches = 0;
  int seen = 0;
  Ordinals found;
  for (const auto& frame : rig.device->Frames()) {
    if (IsSend(frame.m_transfer)) {
      ++sends;
      if (found.send == 0 && Matches(frame, match) && ++seen == match.nth) found.send = sends;
    } else {
      ++fetches;
      if (found.send != 0 && found.fetch == 0) found.fetch = fetches;
    }
  }
  EXPECT_NE(found.send, 0) << "no such request";
  return found;
}

enum class After { kUntouched, kInvalidated, kBurned };

// ---------------------------------------------------------------------------

TEST(BurnStatusText, EveryCode) {
  const std::vector<std::string> texts = {"Idle",
                                          "Downloading...",
                                          "Downloading failed",
                                          "",
                                          "Verifying...",
                                          "Verifying failed",
                                          "Successed",
                                          "Comparing...",
                                          "Compared OK",
                                          "Comparision failed",
                                          "",
                                          ""};
  // The codes are the numbers the statuses are known by outside (the window
  // message, the JSON output, the records); a number that is no status has
  // no text.
  for (unsigned code = 0; code < texts.size(); ++code) {
    EXPECT_EQ(BurnStatusText(static_cast<BurnStatus>(code)), texts[code]) << code;
  }
  EXPECT_STREQ(BurnStatusText(static_cast<BurnStatus>(0xFFFFFFFFu)), "");
  EXPECT_EQ(BurnStatusCode(BurnStatus::BURN_SUCCESS), 6u);
  EXPECT_EQ(BurnStatusCode(BurnStatus::BURN_COMPARE_FAILED), 9u);
}

// Every way out of a burn: codes posted, result, the caller's image, the
// device's EEPROM afterwards. The device starts with an older image.
struct ExitRow {
  const char* name;
  bool paged;
  std::function<void(Rig&, const Bytes& old, const Bytes& image)> inject;
  const char* codes;
  int result;
  After after;
  bool notice = false;
  std::size_t imageSize = 300;
};

/// Fails `count` sends starting at the matching request's send.
auto FailSends(FrameMatch match, int count = 3, std::u16string serial = u"") {
  return [=](Rig& rig, const Bytes& old, const Bytes& image) {
    const auto at = Locate(rig.device->Config(), old, image, match, serial, rig.scope);
    for (int i = 0; i < count; ++i) rig.device->FailSend(rig.sendBase + at.send + i);
  };
}
auto FailFetches(FrameMatch match, int count) {
  return [=](Rig& rig, const Bytes& old, const Bytes& image) {
    const auto at = Locate(rig.device->Config(), old, image, match, u"", rig.scope);
    for (int i = 0; i < count; ++i) rig.device->FailFetch(rig.fetchBase + at.fetch + i);
  };
}
auto AtPost(unsigned code, long count, std::function<void(Rig&)> act) {
  return [=](Rig& rig, const Bytes&, const Bytes&) {
    rig.sink.SetHook([&rig, code, count, act](BurnStatus s, long n) {
      if (BurnStatusCode(s) == code && n == count) act(rig);
    });
  };
}
void Cancel(Rig& rig) { rig.flags.m_cancelRequested = true; }
void DeviceGone(Rig& rig) { rig.flags.m_deviceOpen = false; }

void CheckExits(const std::vector<ExitRow>& rows, BurnScope scope) {
  int cases = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Bytes old = MakeBytes(EEPROM_BYTES, OLD_COMMIT, 1);
    const Bytes image = MakeBytes(row.imageSize, NEW_COMMIT, 2);
    Rig rig(Config(row.paged, 1), old);
    rig.scope = scope;
    if (row.inject) row.inject(rig, old, image);
    const long sendsBefore = rig.device->Sends();

    EXPECT_EQ(rig.Burn(image), row.result);
    EXPECT_EQ(rig.sink.Codes(), row.codes);
    EXPECT_EQ(rig.job.m_image->ImageData(), image) << "the caller's image changed";
    EXPECT_EQ(rig.sink.Contains("notice:Downloading failed.|Error"), row.notice);
    EXPECT_EQ(rig.sink.Events().back(), "finished:0");
    EXPECT_FALSE(rig.flags.m_workerRunning.load());

    rig.device->Reattach();
    const Bytes eeprom = rig.device->Eeprom();
    switch (row.after) {
      case After::kUntouched:
        EXPECT_EQ(eeprom, old);
        if (row.imageSize == 0 || row.imageSize > EEPROM_BYTES) {
          EXPECT_EQ(rig.device->Sends(), sendsBefore) << "a refused image sent something";
        }
        break;
      case After::kInvalidated:
        EXPECT_EQ(eeprom[0], 0xFF);
        break;
      case After::kBurned: {
        // The descriptor step writes over the image from SERIAL_AT on.
        const std::size_t covered = std::min<std::size_t>(image.size(), SERIAL_AT);
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + covered, eeprom.begin()));
        break;
      }
    }
    ++cases;
  }
  EXPECT_EQ(cases, static_cast<int>(rows.size()));
}

TEST(BurnExits, EveryExitLeavesTheDeviceAndImageAsExpected) {
  const std::vector<ExitRow> rows = {
      {"paged: prepare-write fails", true, FailSends({CMD_PREPARE_WRITE}, 1), "1 2", -1,
       After::kUntouched},
      {"paged: first ready query fails", true, FailFetches({CMD_QUERY_READY}, 1), "1 2 2", -1,
       After::kUntouched},
      {"paged: first block fails", true, FailSends({CMD_WRITE_EEPROM, 0}), "1 2", -1,
       After::kUntouched},
      {"paged: third block fails", true, FailSends({CMD_WRITE_EEPROM, 120}), "1 2", -1,
       After::kInvalidated},
      {"paged: ready query after a block fails", true, FailFetches({CMD_QUERY_READY, -1, 0, 3}, 1),
       "1 2 2", -1, After::kInvalidated},
      {"paged: success", true, nullptr, "1 4 6", 1, After::kBurned},
      {"plain: invalidation fails 3 times", false, FailSends({CMD_WRITE_EEPROM, 0, 1}), "1 2", -1,
       After::kUntouched},
      {"plain: invalidation fails twice, then goes", false, FailSends({CMD_WRITE_EEPROM, 0, 1}, 2),
       "1 4 6", 1, After::kBurned},
      {"plain: block fails", false, FailSends({CMD_WRITE_EEPROM, 180}), "1 2", -1,
       After::kInvalidated},
      {"plain: device vanishes in the download", false,
       [](Rig& rig, const Bytes&, const Bytes&) {
         rig.device->VanishAfter(rig.device->Sends() + rig.device->Fetches() + 6);
       },
       "1 2", -1, After::kInvalidated},
      {"download: cancel", false, AtPost(1, 120, Cancel), "1 0", 0, After::kInvalidated, true},
      {"download: cancel, paged", true, AtPost(1, 240, Cancel), "1 0", 0, After::kInvalidated,
       true},
      {"download: no device left", false, AtPost(1, 120, DeviceGone), "1 0", 0,
       After::kInvalidated},
      {"download: cancel after the last block", false, AtPost(1, 300, Cancel), "1 0", 0,
       After::kInvalidated, true},
      {"verify: read fails 3 times", false, FailFetches({CMD_READ_EEPROM, 65}, 3), "1 4 5", -1,
       After::kInvalidated},
      {"verify: read fails twice, then goes", false, FailFetches({CMD_READ_EEPROM, 65}, 2), "1 4 6",
       1, After::kBurned},
      {"verify: data differ", false,
       [](Rig& rig, const Bytes&, const Bytes&) { rig.device->CorruptAt(150); }, "1 4 5", -1,
       After::kInvalidated},
      {"verify: cancel", false, AtPost(4, 129, Cancel), "1 4 0", 0, After::kInvalidated, true},
      {"verify: no device left", true, AtPost(4, 65, DeviceGone), "1 4 0", 0, After::kInvalidated},
      {"commit: 3 sends fail", false, FailSends({CMD_WRITE_EEPROM, 0, 1, 2}), "1 4 2", -1,
       After::kInvalidated},
      {"commit: read-back differs", false,
       [](Rig& rig, const Bytes&, const Bytes&) { rig.device->CorruptAt(0); }, "1 4 2", -1,
       After::kBurned},
      {"serial clear: write fails", false, FailSends({CMD_WRITE_EEPROM, int(SERIAL_AT)}), "1 4 2",
       -1, After::kBurned},
      {"serial clear: read fails", false, FailFetches({CMD_READ_EEPROM, int(SERIAL_AT)}, 3),
       "1 4 2", -1, After::kBurned},
      {"empty image", false, nullptr, "5", -1, After::kUntouched, false, 0},
      {"one-byte image", false, nullptr, "1 4 6", 1, After::kBurned, false, 1},
      {"oversized image", false, nullptr, "2", -1, After::kUntouched, false, 32769},
  };
  CheckExits(rows, BurnScope::kWholeImage);
}

// The same ways out for a burn of the changed blocks: the device holds an
// older image, so every block differs and is written. (Each ready wait takes
// two queries here.)
TEST(BurnExits, ChangedBlocksBurnExitsAsTheWholeBurnDoes) {
  const std::vector<ExitRow> rows = {
      {"paged: prepare-write fails", true, FailSends({CMD_PREPARE_WRITE}, 1), "7 2", -1,
       After::kUntouched},
      {"paged: ready query after prepare-write fails", true, FailFetches({CMD_QUERY_READY}, 1),
       "7 2 2", -1, After::kUntouched},
      {"paged: the 0xFF write fails", true, FailSends({CMD_WRITE_EEPROM, 0, 1}), "7 2", -1,
       After::kUntouched},
      {"paged: ready query after the 0xFF write fails", true,
       FailFetches({CMD_QUERY_READY, -1, 0, 3}, 1), "7 2 2", -1, After::kInvalidated},
      {"plain: the 0xFF write fails 3 times", false, FailSends({CMD_WRITE_EEPROM, 0, 1}), "7 2", -1,
       After::kUntouched},
      {"compare: read fails 3 times", false, FailFetches({CMD_READ_EEPROM, 65}, 3), "7 5", -1,
       After::kInvalidated},
      {"compare: read fails twice, then goes", true, FailFetches({CMD_READ_EEPROM, 65}, 2),
       "7 1 4 6", 1, After::kBurned},
      {"compare: cancel", false, AtPost(7, 129, Cancel), "7 0", 0, After::kInvalidated, true},
      {"compare: no device left", true, AtPost(7, 65, DeviceGone), "7 0", 0, After::kInvalidated},
      {"download: block fails", false, FailSends({CMD_WRITE_EEPROM, 121}), "7 1 2", -1,
       After::kInvalidated},
      {"download: ready query after a block fails", true,
       FailFetches({CMD_QUERY_READY, -1, 0, 5}, 1), "7 1 2 2", -1, After::kInvalidated},
      {"download: cancel", true, AtPost(1, 120, Cancel), "7 1 0", 0, After::kInvalidated, true},
      {"verify: data differ", false,
       [](Rig& rig, const Bytes&, const Bytes&) { rig.device->CorruptAt(150); }, "7 1 4 5", -1,
       After::kInvalidated},
      {"verify: read fails 3 times", false, FailFetches({CMD_READ_EEPROM, 65, 0, 2}, 3), "7 1 4 5",
       -1, After::kInvalidated},
      {"verify: cancel", false, AtPost(4, 128, Cancel), "7 1 4 0", 0, After::kInvalidated, true},
      {"commit: 3 sends fail", false, FailSends({CMD_WRITE_EEPROM, 0, 1, 2}), "7 1 4 2", -1,
       After::kInvalidated},
      {"serial clear: write fails", false, FailSends({CMD_WRITE_EEPROM, int(SERIAL_AT)}), "7 1 4 2",
       -1, After::kBurned},
      {"paged: success", true, nullptr, "7 1 4 6", 1, After::kBurned},
      {"plain: success", false, nullptr, "7 1 4 6", 1, After::kBurned},
      {"empty image", false, nullptr, "5", -1, After::kUntouched, false, 0},
      {"one-byte image: nothing to compare", false, nullptr, "7 6", 1, After::kBurned, false, 1},
      {"oversized image", false, nullptr, "2", -1, After::kUntouched, false, 32769},
  };
  CheckExits(rows, BurnScope::kChangedBlocks);
}

/// The writes of a burn as "address:length", in order.
std::string Writes(const std::vector<SimFrame>& requests) {
  std::string writes;
  for (const auto& f : requests) {
    if (f.m_bytes[1] != CMD_WRITE_EEPROM) continue;
    if (!writes.empty()) writes += ' ';
    writes += std::to_string(f.m_bytes[2] << 8 | f.m_bytes[3]) + ":" + std::to_string(f.m_bytes[4]);
  }
  return writes;
}

// A whole 32 KB image over an older one: the compare stops after the first 33
// blocks (addresses 1 to 2112), and everything after them is written
// uncompared. The ways out of each step after the stop.
TEST(BurnExits, ChangedBlocksBurnThatStopsComparingExitsAsTheWholeBurnDoes) {
  constexpr std::size_t whole = EEPROM_BYTES;
  const std::vector<ExitRow> rows = {
      {"compare: cancel before the stop", false, AtPost(7, 641, Cancel), "7 0", 0,
       After::kInvalidated, true, whole},
      {"compare: read fails 3 times before the stop", true, FailFetches({CMD_READ_EEPROM, 321}, 3),
       "7 5", -1, After::kInvalidated, false, whole},
      // Not read by the compare: its fault is the verify's.
      {"verify: an uncompared block fails 3 times", false,
       FailFetches({CMD_READ_EEPROM, 1 + 64 * 300}, 3), "7 1 4 5", -1, After::kInvalidated, false,
       whole},
      {"download: an uncompared block fails", false, FailSends({CMD_WRITE_EEPROM, 1 + 60 * 100}),
       "7 1 2", -1, After::kInvalidated, false, whole},
      {"download: ready query after an uncompared block fails", true,
       FailFetches({CMD_QUERY_READY, -1, 0, 300}, 1), "7 1 2 2", -1, After::kInvalidated, false,
       whole},
      {"download: cancel among the uncompared blocks", false, AtPost(1, 6000, Cancel), "7 1 0", 0,
       After::kInvalidated, true, whole},
      {"download: no device left among the uncompared blocks", false, AtPost(1, 9000, DeviceGone),
       "7 1 0", 0, After::kInvalidated, false, whole},
      {"verify: an uncompared byte reads back wrong", false,
       [](Rig& rig, const Bytes&, const Bytes&) { rig.device->CorruptAt(20000); }, "7 1 4 5", -1,
       After::kInvalidated, false, whole},
      {"verify: cancel", true, AtPost(4, 64 * 200, Cancel), "7 1 4 0", 0, After::kInvalidated, true,
       whole},
      {"commit: 3 sends fail", false, FailSends({CMD_WRITE_EEPROM, 0, 1, 2}), "7 1 4 2", -1,
       After::kInvalidated, false, whole},
      {"serial clear: read fails", true, FailFetches({CMD_READ_EEPROM, int(SERIAL_AT)}, 3),
       "7 1 4 2", -1, After::kBurned, false, whole},
      {"plain: success", false, nullptr, "7 1 4 6", 1, After::kBurned, false, whole},
      {"paged: success", true, nullptr, "7 1 4 6", 1, After::kBurned, false, whole},
  };
  CheckExits(rows, BurnScope::kChangedBlocks);
}

/// The addresses the compare pass read, before the first write after the 0xFF.
std::set<int> ComparedAddresses(const std::vector<SimFrame>& requests) {
  std::set<int> read;
  int writes = 0;
  for (const auto& f : requests) {
    if (f.m_bytes[1] == CMD_WRITE_EEPROM && ++writes == 2) break;
    if (f.m_bytes[1] != CMD_READ_EEPROM) continue;
    const int address = f.m_bytes[2] << 8 | f.m_bytes[3];
    for (int a = address; a < address + f.m_bytes[4]; ++a) read.insert(a);
  }
  return read;
}

TEST(BurnChangedBlocks, StopsComparingOnceMostOfTheFirst64BlocksDiffer) {
  struct Row {
    const char* name;
    std::size_t size;
    std::function<bool(long block)> changed;  // block k covers 1 + 64k .. 64 + 64k
    long compared;
    long written;             // blocks written, compared or not
    const char* firstWrites;  // after the 0xFF, on the plain path
  };
  const std::vector<Row> rows = {
      {"every block", EEPROM_BYTES, [](long) { return true; }, 33, 512, "6:60 66:60 126:60"},
      {"every other block: half is not most", EEPROM_BYTES, [](long k) { return k % 2 == 0; }, 512,
       256, "6:1 134:1 262:1"},
      {"33 of the first 64, the last one of them", EEPROM_BYTES,
       [](long k) { return k % 2 == 0 || k == 63; }, 64, 512 - 31, "6:1 134:1 262:1"},
      // (The last block holds the descriptor's place: unchanged here.)
      {"none of the first 64, all later ones", EEPROM_BYTES, [](long k) { return k >= 64; }, 512,
       447, "4102:60 4162:60"},
      {"all of a 32-block image", 32 * 64 + 1, [](long) { return true; }, 32, 32, "6:60 66:60"},
      {"all of a 34-block image", 34 * 64 + 1, [](long) { return true; }, 33, 34, "6:60 66:60"},
  };
  for (bool paged : {false, true}) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(row.name) + (paged ? ", paged" : ", plain"));
      const Bytes image = MakeBytes(row.size, NEW_COMMIT, 30);
      Bytes eeprom(EEPROM_BYTES, 0xFF);
      std::copy(image.begin(), image.end(), eeprom.begin());
      const long blocks = static_cast<long>(row.size - 1 + 63) / 64;
      // One byte of each changed block; the last block of a 32 KB image
      // holds the descriptor's place and stays as the descriptor step leaves it.
      for (long k = 0; k < blocks; ++k) {
        if (row.changed(k) && 1 + 64 * k + 5 < long(SERIAL_AT)) eeprom[1 + 64 * k + 5] ^= 0x5A;
      }
      eeprom[SERIAL_AT] = eeprom[SERIAL_AT + 1] = 0xFF;
      Rig rig(Config(paged), eeprom);
      rig.scope = BurnScope::kChangedBlocks;
      ASSERT_EQ(rig.Burn(image), 1);
      const auto summary = rig.sink.Compared();
      ASSERT_TRUE(summary);
      EXPECT_EQ(summary->m_blocks, blocks);
      EXPECT_EQ(summary->ComparedBlocks(), row.compared);
      EXPECT_EQ(summary->StoppedEarly(), row.compared < blocks);
      EXPECT_EQ(ComparedAddresses(rig.device->Requests()).size(),
                std::min<std::size_t>(static_cast<std::size_t>(row.compared) * 64, row.size - 1));
      const Bytes after = rig.device->Eeprom();
      const std::size_t covered = std::min<std::size_t>(row.size, SERIAL_AT);
      EXPECT_TRUE(std::equal(image.begin(), image.begin() + covered, after.begin()));

      const std::string writes = Writes(rig.device->Requests());
      if (!paged) {
        EXPECT_EQ(writes.rfind("0:1 " + std::string(row.firstWrites) + " ", 0), 0u) << writes;
      }
      // The blocks the download wrote (between the 0xFF and the commit),
      // uncompared ones among them.
      std::set<long> written;
      long bytes = 0;
      std::istringstream items(writes);
      std::string item;
      items >> item;  // the 0xFF
      while (items >> item && item != "0:1") {
        const long address = std::stol(item);
        const long length = std::stol(item.substr(item.find(':') + 1));
        bytes += length;
        for (long a = address; a < address + length; ++a) written.insert((a - 1) / 64);
      }
      EXPECT_EQ(static_cast<long>(written.size()), row.written);
      EXPECT_EQ(summary->m_changedBlocks, row.written);
      EXPECT_EQ(summary->m_bytesToWrite, bytes);
      if (summary->StoppedEarly()) {
        // From the block that decided it on, everything up to the end.
        EXPECT_EQ(*written.rbegin(), blocks - 1);
      }
    }
  }
}

TEST(BurnChangedBlocks, LeavesTheDescriptorStepsBytesOutAndEndsAsTheWholeBurn) {
  struct Row {
    const char* name;
    std::u16string before;  // the serial of the burn before
    std::u16string serial;  // the serial of the re-burn
    long changedBlocks;
  };
  const std::vector<Row> rows = {
      {"the same serial", u"KS-000001", u"KS-000001", 0},
      {"another serial of the same length", u"KS-000001", u"KS-000002", 0},
      {"a longer serial", u"KS-1", u"KS-000001", 0},
      {"a shorter serial: the old one's tail differs", u"KS-000001", u"KS-1", 1},
      {"no serial after one: its tail differs", u"KS-1", u"", 1},
      {"no serial twice", u"", u"", 0},
      {"a serial after none", u"", u"KS-1", 0},
  };
  const Bytes image = MakeBytes(EEPROM_BYTES, NEW_COMMIT, 31);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Rig burned(Config(false));
    ASSERT_EQ(burned.Burn(image, row.before), 1);
    const Bytes before = burned.device->Eeprom();

    Rig changed(Config(false), before);
    changed.scope = BurnScope::kChangedBlocks;
    ASSERT_EQ(changed.Burn(image, row.serial), 1);
    ASSERT_TRUE(changed.sink.Compared());
    EXPECT_EQ(changed.sink.Compared()->m_changedBlocks, row.changedBlocks);
    EXPECT_FALSE(changed.sink.Compared()->StoppedEarly());

    Rig whole(Config(false), before);
    ASSERT_EQ(whole.Burn(image, row.serial), 1);
    EXPECT_EQ(changed.device->Eeprom(), whole.device->Eeprom());
  }
}

TEST(BurnChangedBlocks, WritesOnlyWhatDiffersAndReadsAllOfItBack) {
  struct Row {
    const char* name;
    bool paged;
    std::size_t size;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> changed;  // [begin, end) on the device
    const char* writes;  // between the 0xFF and the commit
    int changedBlocks;
  };
  const std::vector<Row> rows = {
      {"identical, plain", false, 2000, {}, "", 0},
      {"identical, paged", true, 2000, {}, "", 0},
      {"only the commit byte differs", false, 2000, {{0, 1}}, "", 0},
      {"one byte", false, 2000, {{1000, 1001}}, "1000:1", 1},
      {"one page, paged", true, 2000, {{1024, 1280}}, "1024:60 1084:60 1144:60 1204:60 1264:16", 5},
      {"one page, plain",
       false,
       2000,
       {{1024, 1280}},
       "1024:60 1084:60 1144:60 1204:60 1264:16",
       5},
      {"across a block boundary: one write", false, 2000, {{60, 71}}, "60:11", 2},
      {"across a page boundary, paged: cut at the page",
       true,
       2000,
       {{250, 263}},
       "250:6 256:7",
       2},
      {"two blocks apart: two writes", true, 2000, {{100, 101}, {1900, 1901}}, "100:1 1900:1", 2},
      {"everything, plain", false, 130, {{0, 130}}, "1:60 61:60 121:9", 3},
      {"everything, paged", true, 300, {{0, 300}}, "1:60 61:60 121:60 181:60 241:15 256:44", 5},
      {"past the end of the image: ignored", false, 2000, {{2000, 2100}}, "", 0},
      {"the last byte", true, 2000, {{1999, 2000}}, "1999:1", 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Bytes image = MakeBytes(row.size, NEW_COMMIT, 20);
    Bytes eeprom = MakeBytes(EEPROM_BYTES, OLD_COMMIT, 21);
    std::copy(image.begin(), image.end(), eeprom.begin());
    for (const auto& [begin, end] : row.changed) {
      for (std::uint32_t a = begin; a < end; ++a) eeprom[a] ^= 0x5A;
    }
    Rig rig(Config(row.paged), eeprom);
    rig.scope = BurnScope::kChangedBlocks;
    ASSERT_EQ(rig.Burn(image), 1);

    const std::string inner = row.writes[0] ? std::string(row.writes) + " " : "";
    EXPECT_EQ(Writes(rig.device->Requests()), "0:1 " + inner + "0:1 32704:2");
    const long blocks = static_cast<long>(row.size - 1 + READ_BLOCK_MAX - 1) / READ_BLOCK_MAX;
    long bytes = 0;
    for (std::size_t at = 0; row.writes[at] != 0;) {
      const char* colon = std::strchr(row.writes + at, ':');
      bytes += std::strtol(colon + 1, nullptr, 10);
      const char* space = std::strchr(colon, ' ');
      at = space ? static_cast<std::size_t>(space + 1 - row.writes) : std::strlen(row.writes);
    }
    EXPECT_TRUE(rig.sink.Contains("compare:" + std::to_string(blocks) + "|" +
                                  std::to_string(row.changedBlocks) + "|" + std::to_string(bytes)));
    EXPECT_EQ(rig.sink.Codes(), row.changedBlocks ? "7 1 4 6" : "7 6");

    // The image is on the device; what lies past it is as it was.
    const Bytes after = rig.device->Eeprom();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), after.begin()));
    EXPECT_TRUE(
        std::equal(after.begin() + row.size, after.begin() + SERIAL_AT, eeprom.begin() + row.size));

    // Each written block is read back, and on the paged path the 0xFF and
    // every block wait for ready.
    const auto requests = rig.device->Requests();
    std::size_t firstRead = 0;
    while (requests[firstRead].m_bytes[1] != CMD_READ_EEPROM) ++firstRead;
    const std::vector<std::uint8_t> opening =
        row.paged ? std::vector<std::uint8_t>{CMD_QUERY_PAGED_WRITE, CMD_PREPARE_WRITE,
                                              CMD_QUERY_READY, CMD_WRITE_EEPROM, CMD_QUERY_READY}
                  : std::vector<std::uint8_t>{CMD_QUERY_PAGED_WRITE, CMD_WRITE_EEPROM};
    ASSERT_EQ(firstRead, opening.size());
    for (std::size_t i = 0; i < opening.size(); ++i) EXPECT_EQ(requests[i].m_bytes[1], opening[i]);
    EXPECT_EQ(requests[opening.size() - (row.paged ? 2 : 1)].m_bytes[5], 0xFF);
    std::set<int> readBack;
    bool verifying = false;
    for (std::size_t i = firstRead; i < requests.size(); ++i) {
      const auto& f = requests[i].m_bytes;
      const int address = f[2] << 8 | f[3];
      if (f[1] == CMD_WRITE_EEPROM && address == 0) break;  // the commit
      if (f[1] == CMD_WRITE_EEPROM) {
        verifying = true;
        if (row.paged) {
          EXPECT_EQ(requests[i + 1].m_bytes[1], CMD_QUERY_READY) << i;
        }
      }
      if (f[1] == CMD_READ_EEPROM && verifying) {
        for (int a = address; a < address + f[4]; ++a) readBack.insert(a);
      }
    }
    EXPECT_EQ(static_cast<long>(readBack.size()), bytes);
  }
}

TEST(BurnProgress, ChangedBlocksCountTheComparedThenTheWrittenBytes) {
  const auto image = MakeImage(200, 3, 8, 4660);
  ASSERT_TRUE(image);
  Bytes eeprom = *image;
  eeprom[100] ^= 1;
  eeprom[159] ^= 1;
  Rig rig(Config(false), eeprom);
  rig.scope = BurnScope::kChangedBlocks;
  ASSERT_EQ(rig.Burn(*image), 1);
  const std::vector<std::string> expected = {
      "7,0",  "7,65", "7,129", "7,193",         "7,200", "compare:4|2|60", "1,0",
      "1,60", "4,0",  "4,60",  "info:3.8|4660", "6,0",   "finished:0"};
  EXPECT_EQ(rig.sink.Events(), expected);
}

TEST(BurnProgress, HundredBytesOnThePlainPath) {
  Rig rig(Config(false));
  const auto image = MakeImage(100, 3, 8, 4660);
  ASSERT_TRUE(image);
  ASSERT_EQ(rig.Burn(*image), 1);
  const std::vector<std::string> expected = {"1,0",   "1,60",          "1,100", "4,0",       "4,65",
                                             "4,100", "info:3.8|4660", "6,0",   "finished:0"};
  EXPECT_EQ(rig.sink.Events(), expected);
  // No ready queries on the plain path; the invalidation frame comes first.
  const auto requests = rig.device->Requests();
  EXPECT_TRUE(std::none_of(requests.begin(), requests.end(), [](const SimFrame& f) {
    return f.m_bytes[1] == CMD_QUERY_READY || f.m_bytes[1] == CMD_PREPARE_WRITE;
  }));
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[1].m_bytes[1], CMD_WRITE_EEPROM);
  EXPECT_EQ(requests[1].m_bytes[4], 1);
  EXPECT_EQ(requests[1].m_bytes[5], 0xFF);
}

/// The write lengths and the ready queries that follow each write, in order:
/// "P r r | 60 r r | ...".
std::string WriteShape(const std::vector<SimFrame>& requests, int* readyQueries) {
  std::string shape;
  int ready = 0;
  for (const auto& f : requests) {
    if (f.m_bytes[1] == CMD_PREPARE_WRITE) shape += "P";
    if (f.m_bytes[1] == CMD_WRITE_EEPROM)
      shape += (shape.empty() ? "" : " ") + std::to_string(f.m_bytes[4]);
    if (f.m_bytes[1] == CMD_QUERY_READY) ++ready;
    if (f.m_bytes[1] == CMD_READ_EEPROM) break;
  }
  *readyQueries = ready;
  return shape;
}

TEST(BurnPaged, BlocksStayInsidePagesAndWaitForReady) {
  struct Row {
    int readyAfter;
    int queriesPerWait;
  };
  for (const Row row : {Row{0, 1}, Row{2, 3}, Row{SimDeviceConfig::kReadyNever, 1000}}) {
    SCOPED_TRACE(row.readyAfter);
    Rig rig(Config(true, row.readyAfter));
    const Bytes image = MakeBytes(600, NEW_COMMIT, 4);
    ASSERT_EQ(rig.Burn(image), 1) << "a device that never reports ready is still burned";
    int ready = 0;
    EXPECT_EQ(WriteShape(rig.device->Requests(), &ready), "P 60 60 60 60 16 60 60 60 60 16 60 28");
    // One wait after PrepareWrite and one after each of the 12 blocks.
    EXPECT_EQ(ready, 13 * row.queriesPerWait);
    // Every block of the download is followed by its ready wait.
    const auto requests = rig.device->Requests();
    for (std::size_t i = 0; i + 1 < requests.size(); ++i) {
      if (requests[i].m_bytes[1] == CMD_READ_EEPROM) break;
      if (requests[i].m_bytes[1] == CMD_WRITE_EEPROM) {
        EXPECT_EQ(requests[i + 1].m_bytes[1], CMD_QUERY_READY) << i;
      }
    }
    EXPECT_TRUE(std::equal(image.begin(), image.end(), rig.device->Eeprom().begin()));
  }
}

TEST(BurnSerial, DescriptorWrittenAndReadBack) {
  struct Row {
    std::u16string serial;
    Bytes expected;
    int writeBlocks;
  };
  const std::u16string thirty(30, u'Z'), thirtyOne(31, u'Y'), forty(40, u'X');
  auto Descriptor = [](const std::u16string& s) {
    Bytes d = {static_cast<std::uint8_t>(2 * s.size() + 2), 0x03};
    for (char16_t c : s) d.push_back(c & 0xFF), d.push_back(c >> 8);
    return d;
  };
  const std::vector<Row> rows = {
      {u"ABC", {0x08, 0x03, 0x41, 0x00, 0x42, 0x00, 0x43, 0x00}, 1},
      {u"\u00e9\u4e2d", {0x06, 0x03, 0xE9, 0x00, 0x2D, 0x4E}, 1},
      {thirty, Descriptor(thirty), 2},
      {thirtyOne, Descriptor(thirtyOne), 2},
      {forty, Descriptor(std::u16string(31, u'X')), 2},  // cut at 31 units
      {u"", {0xFF, 0xFF}, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expected.size());
    Rig rig(Config(false));
    ASSERT_EQ(rig.Burn(MakeBytes(100, NEW_COMMIT, 5), row.serial), 1);
    const Bytes eeprom = rig.device->Eeprom();
    EXPECT_EQ(Bytes(eeprom.begin() + SERIAL_AT, eeprom.begin() + SERIAL_AT + row.expected.size()),
              row.expected);
    int blocks = 0;
    for (const auto& f : rig.device->Requests()) {
      const int address = f.m_bytes[2] << 8 | f.m_bytes[3];
      if (f.m_bytes[1] == CMD_WRITE_EEPROM && address >= int(SERIAL_AT)) ++blocks;
    }
    EXPECT_EQ(blocks, row.writeBlocks);
  }
}

TEST(BurnSerial, ClearAcceptedWhenEitherByteReadsFF) {
  struct Row {
    Bytes stored;  // what the device holds after the clear was written
    int result;
  };
  const std::vector<Row> rows = {{{0xFF, 0xFF}, 1},
                                 {{0xFF, 0x00}, 1},
                                 {{0x00, 0xFF}, 1},
                                 {{0x12, 0x34}, -1},
                                 {{0x00, 0x00}, -1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(int(row.stored[0]) * 256 + row.stored[1]);
    Rig rig(Config(false));
    // The device takes the clear its own way: what it holds afterwards is the row's.
    rig.onFrame = [&rig, &row](const TraceEvent& e) {
      const int address = e.m_bytes[2] << 8 | e.m_bytes[3];
      if (e.m_ok && e.m_bytes[1] == CMD_WRITE_EEPROM && address == int(SERIAL_AT) &&
          (e.m_transfer == FrameTransfer::kSendOutput ||
           e.m_transfer == FrameTransfer::kSendFeature)) {
        rig.device->SetEeprom(SERIAL_AT, row.stored);
      }
    };
    EXPECT_EQ(rig.Burn(MakeBytes(64, NEW_COMMIT, 6)), row.result);
    EXPECT_EQ(rig.sink.Codes(), row.result == 1 ? "1 4 6" : "1 4 2");
  }
}

TEST(BurnReportModes, FeatureReportDeviceIsBurned) {
  SimDeviceConfig config = Config(true, 1);
  config.m_outputReportByteLength = 0;
  config.m_inputReportByteLength = 0;
  config.m_featureReportByteLength = 65;
  Rig rig(config);
  const Bytes image = MakeBytes(1000, NEW_COMMIT, 7);
  ASSERT_EQ(rig.Burn(image, u"SN1"), 1);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), rig.device->Eeprom().begin()));
}

// ---------------------------------------------------------------------------
// Starting and stopping the worker thread.

TEST(BurnStart, SecondStartWhileRunningStartsNothing) {
  Rig rig(Config(false));
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  rig.sink.SetHook([&](BurnStatus status, long count) {
    if (status == BurnStatus::BURN_DOWNLOADING && count == 0) {
      std::unique_lock lock(m);
      cv.wait(lock, [&] { return release; });
    }
  });
  const auto image = std::make_shared<const RomImage>(MakeBytes(200, NEW_COMMIT, 8));
  ASSERT_TRUE(rig.worker.Start({image, u""}));
  EXPECT_TRUE(rig.worker.Running());
  EXPECT_FALSE(rig.worker.Start({image, u""}));
  EXPECT_EQ(rig.worker.RunSynchronously({image, u""}), BurnResult::kAlreadyRunning);
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  rig.worker.Wait();
  EXPECT_FALSE(rig.worker.Running());
  EXPECT_EQ(rig.sink.Codes(), "1 4 6");
  EXPECT_EQ(rig.sink.Events().back(), "finished:0");
  // And the next burn starts again.
  rig.sink.SetHook(nullptr);
  rig.sink.Clear();
  ASSERT_TRUE(rig.worker.Start({image, u""}));
  rig.worker.Wait();
  EXPECT_EQ(rig.sink.Codes(), "1 4 6");
}

TEST(BurnStart, StopRequestedBeforeTheDownloadIsNotLost) {
  // The window closes while the worker is still between its first post and
  // its first block: that stop must end the burn. A stop left over from an
  // earlier burn must not.
  struct Row {
    bool staleBefore;
    bool cancelAfterStart;
    const char* codes;
  };
  for (const Row row :
       {Row{false, true, "1 0"}, Row{true, false, "1 4 6"}, Row{true, true, "1 0"}}) {
    Rig rig(Config(false));
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    rig.sink.SetHook([&](BurnStatus status, long count) {
      if (status != BurnStatus::BURN_DOWNLOADING || count != 0) return;
      std::unique_lock lock(m);
      cv.wait(lock, [&] { return release; });
    });
    rig.flags.m_cancelRequested = row.staleBefore;
    ASSERT_TRUE(
        rig.worker.Start({std::make_shared<const RomImage>(MakeBytes(3000, NEW_COMMIT, 9)), u""}));
    if (row.cancelAfterStart) rig.flags.m_cancelRequested = true;
    {
      std::lock_guard lock(m);
      release = true;
    }
    cv.notify_all();
    rig.worker.Wait();
    EXPECT_EQ(rig.sink.Codes(), row.codes);
    EXPECT_EQ(rig.sink.Contains("notice:"), row.cancelAfterStart);
    EXPECT_EQ(rig.device->Eeprom()[0], row.cancelAfterStart ? 0xFF : NEW_COMMIT);
  }
}

// ---------------------------------------------------------------------------
// No single fault leaves a valid commit byte over a partial image.

struct InvariantResult {
  long cases = 0;
  long violations = 0;
};

/// The device must hold either 0xFF at address 0, or the whole new image
/// committed, or its old contents untouched (which, when the old image had
/// another first byte, means its own commit byte over its own whole image).
bool Safe(const Bytes& eeprom, const Bytes& old, const Bytes& image) {
  if (eeprom[0] == 0xFF) return true;
  if (eeprom == old) return true;
  // The descriptor step writes 0x7FC0 after the commit, by design.
  const std::size_t covered = std::min<std::size_t>(image.size(), SERIAL_AT);
  return eeprom[0] == image[0] &&
         std::equal(image.begin(), image.begin() + covered, eeprom.begin());
}

/// One sweep: a burn of `image` over a device holding `old`, once for each
/// single fault at each frame (every `stride`-th after the first).
struct Sweep {
  bool paged = false;
  Bytes old;
  Bytes image;
  long stride = 1;
  BurnScope scope = BurnScope::kWholeImage;
  /// The device keeps its old first byte when 0xFF is written there: a burn
  /// without its first 0xFF, which the sweep must catch.
  bool dropFirst0xFF = false;
};

InvariantResult FaultSweep(const Sweep& sweep) {
  const Bytes& old = sweep.old;
  const Bytes& image = sweep.image;
  auto MakeRig = [&sweep] {
    auto rig = std::make_unique<Rig>(Config(sweep.paged, 1), sweep.old);
    rig->scope = sweep.scope;
    rig->device->SetLogging(false);
    if (sweep.dropFirst0xFF) {
      Rig* r = rig.get();
      const std::uint8_t oldFirst = sweep.old[0];
      r->onFrame = [r, oldFirst](const TraceEvent& e) {
        if (e.m_ok && IsSend(e.m_transfer) && e.m_bytes[1] == CMD_WRITE_EEPROM &&
            e.m_bytes[2] == 0 && e.m_bytes[3] == 0 && e.m_bytes[5] == 0xFF) {
          r->device->SetEeprom(0, {oldFirst});
        }
      };
    }
    return rig;
  };
  long sends = 0, fetches = 0;
  {
    auto rig = MakeRig();
    EXPECT_EQ(rig->Burn(image), 1);
    sends = rig->device->Sends() - rig->sendBase;
    fetches = rig->device->Fetches() - rig->fetchBase;
  }
  InvariantResult total;
  enum Fault { kSend, kThreeSends, kFetch, kThreeFetches, kVanish, kCorrupt };
  for (Fault fault : {kSend, kThreeSends, kFetch, kThreeFetches, kVanish, kCorrupt}) {
    const long limit = (fault == kFetch || fault == kThreeFetches) ? fetches
                       : fault == kVanish                          ? sends + fetches
                       : fault == kCorrupt                         ? long(image.size())
                                                                   : sends;
    for (long k = 1; k <= limit; k += (k == 1 ? 1 : sweep.stride)) {
      auto rigOwner = MakeRig();
      Rig& rig = *rigOwner;
      switch (fault) {
        case kSend:
          rig.device->FailSend(rig.sendBase + k);
          break;
        case kThreeSends:
          for (int i = 0; i < 3; ++i) rig.device->FailSend(rig.sendBase + k + i);
          break;
        case kFetch:
          rig.device->FailFetch(rig.fetchBase + k);
          break;
        case kThreeFetches:
          for (int i = 0; i < 3; ++i) rig.device->FailFetch(rig.fetchBase + k + i);
          break;
        case kVanish:
          rig.device->VanishAfter(rig.sendBase + rig.fetchBase + k);
          break;
        case kCorrupt:
          rig.device->CorruptAt(static_cast<std::uint32_t>(k - 1));
          break;
      }
      const int result = rig.Burn(image);
      rig.device->Reattach();
      const Bytes eeprom = rig.device->Eeprom();
      ++total.cases;
      const std::size_t covered = std::min<std::size_t>(image.size(), SERIAL_AT);
      const bool whole = std::equal(image.begin(), image.begin() + covered, eeprom.begin());
      if (!Safe(eeprom, old, image) || (result == 1 && !whole)) {
        ++total.violations;
        if (!sweep.dropFirst0xFF) {
          ADD_FAILURE() << "fault " << fault << " at " << k << " paged " << sweep.paged
                        << " result " << result << " byte 0 " << int(eeprom[0]);
        }
      }
    }
  }
  return total;
}

/// An older image that shares most of the new one: a few bytes, a page and
/// the commit byte differ, as when a developer burns a rebuilt image.
Bytes NearlyTheSame(const Bytes& image) {
  Bytes old = MakeBytes(EEPROM_BYTES, OLD_COMMIT, 11);
  std::copy(image.begin(), image.end(), old.begin());
  old[0] = OLD_COMMIT;
  for (std::size_t a : {std::size_t{3}, std::size_t{130}, image.size() - 1}) old[a] ^= 0x21;
  for (std::size_t a = 256; a < 512 && a < image.size(); ++a) old[a] ^= 0x42;
  return old;
}

TEST(BurnSafety, NoSingleFaultLeavesACommitOverAPartialImage) {
  long cases = 0;
  const Bytes blank(EEPROM_BYTES, 0xFF);
  const Bytes older = MakeBytes(EEPROM_BYTES, OLD_COMMIT, 11);
  const Bytes small = MakeBytes(700, NEW_COMMIT, 10);
  const Bytes large = MakeBytes(EEPROM_BYTES, NEW_COMMIT, 10);
  struct Over {
    const char* name;
    Bytes old;
  };
  for (BurnScope scope : {BurnScope::kWholeImage, BurnScope::kChangedBlocks}) {
    const bool changedOnly = scope == BurnScope::kChangedBlocks;
    std::vector<Over> overs = {{"a blank EEPROM", blank}, {"an older image", older}};
    if (changedOnly) overs.push_back({"a nearly identical image", NearlyTheSame(small)});
    for (bool paged : {false, true}) {
      for (const Over& over : overs) {
        const auto result = FaultSweep({paged, over.old, small, 1, scope});  // every frame
        EXPECT_EQ(result.violations, 0);
        cases += result.cases;
        std::printf("[ burn ] %s%s, 700 bytes over %s: %ld cases\n", paged ? "paged" : "plain",
                    changedOnly ? ", changed blocks" : "", over.name, result.cases);
      }
      std::vector<Over> larges = {{"an older image", older}};
      // Over an older image the compare stops early; over a nearly identical
      // one it runs to the end.
      if (changedOnly) larges.push_back({"a nearly identical image", NearlyTheSame(large)});
      for (const Over& over : larges) {
        const auto sampled = FaultSweep({paged, over.old, large, 97, scope});  // sampled
        EXPECT_EQ(sampled.violations, 0);
        cases += sampled.cases;
        std::printf("[ burn ] %s%s, 32768 bytes over %s, every 97th frame: %ld cases\n",
                    paged ? "paged" : "plain", changedOnly ? ", changed blocks" : "", over.name,
                    sampled.cases);
      }
    }
  }
  RecordProperty("fault_cases", std::to_string(cases));
  std::printf("[ burn ] fault cases run: %ld\n", cases);
}

// The sweep is only worth its time if it notices a burn that leaves the old
// commit byte in place while it rewrites the image.
TEST(BurnSafety, SweepCatchesABurnWithoutItsFirst0xFF) {
  const Bytes image = MakeBytes(700, NEW_COMMIT, 10);
  for (BurnScope scope : {BurnScope::kWholeImage, BurnScope::kChangedBlocks}) {
    for (bool paged : {false, true}) {
      for (const Bytes& old : {MakeBytes(EEPROM_BYTES, OLD_COMMIT, 11), NearlyTheSame(image)}) {
        const auto result = FaultSweep({paged, old, image, 5, scope, true});
        EXPECT_GT(result.violations, 0)
            << "paged " << paged << " changed blocks " << (scope == BurnScope::kChangedBlocks);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Burns (whole and changed blocks) while the front end rescans, reloads its
// image and closes at random points (run under ThreadSanitizer).

TEST(BurnConcurrency, RescanReloadAndCloseDuringBurns) {
  Rig rig(Config(true, 1), MakeBytes(EEPROM_BYTES, OLD_COMMIT, 12));
  std::mt19937 random(13);
  auto image = std::make_shared<const RomImage>(MakeBytes(4000, NEW_COMMIT, 14));
  std::atomic<int> posts{0};
  rig.sink.SetHook([&](BurnStatus, long) { posts.fetch_add(1); });
  int finals[10] = {};
  const int rounds = 60;
  for (int round = 0; round < rounds; ++round) {
    rig.sink.Clear();
    const Bytes burned = image->ImageData();
    const Bytes before = rig.device->Eeprom();
    // Every other round a re-burn of the changed blocks only.
    const BurnScope scope = round % 2 ? BurnScope::kChangedBlocks : BurnScope::kWholeImage;
    ASSERT_TRUE(rig.worker.Start({image, u"SN", scope}));
    // The front end's thread: act at random moments while the burn runs.
    const int actions = static_cast<int>(random() % 6);
    for (int a = 0; a < actions && rig.worker.Running(); ++a) {
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
      switch (random() % 5) {
        case 0:  // a device change: rescan and reopen the target
          rig.flags.m_deviceOpen = rig.hid.Open(rig.hid.Scan());
          break;
        case 1:  // the image file changed on disk: the front end holds a new one
          image = std::make_shared<const RomImage>(MakeBytes(4000, NEW_COMMIT, 15 + round));
          break;
        case 2:  // unplugged, the list refreshed, plugged in again
          rig.backend.RemoveDevice(rig.path);
          rig.flags.m_deviceOpen = rig.hid.Scan() != nullptr;
          rig.path = rig.backend.AddDevice(rig.device);
          rig.flags.m_deviceOpen = rig.hid.Open(rig.hid.Scan());
          break;
        case 3:  // the window closes
          rig.flags.m_cancelRequested = true;
          while (rig.worker.Running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          break;
        default:
          rig.hid.Clear();
          rig.flags.m_deviceOpen = false;
          break;
      }
    }
    rig.worker.Wait();
    if (!rig.hid.Current()) rig.flags.m_deviceOpen = rig.hid.Open(rig.hid.Scan());
    const auto codes = rig.sink.Codes();
    ASSERT_FALSE(codes.empty());
    const int last = codes.back() - '0';
    EXPECT_TRUE(last == 0 || last == 2 || last == 5 || last == 6) << codes;
    ++finals[last];
    EXPECT_EQ(rig.sink.Events().back(), "finished:0");
    const Bytes eeprom = rig.device->Eeprom();
    EXPECT_TRUE(
        eeprom[0] == 0xFF || eeprom == before ||
        (eeprom[0] == NEW_COMMIT && std::equal(burned.begin(), burned.end(), eeprom.begin())))
        << "round " << round << " " << codes;
  }
  std::printf("[ burn ] finals: idle %d, download failed %d, verify failed %d, success %d\n",
              finals[0], finals[2], finals[5], finals[6]);
  EXPECT_GT(posts.load(), rounds);
}

}  // namespace
}  // namespace tessarin
