// The board's page in a real browser: Debian's headless Chromium opens it
// while the built tool's station burns six simulated units on three ports,
// and the rendered page is read back; screenshots of it are kept under the
// build folder (board-screenshots/) to be looked at.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/cdp_client.h"
#include "support/image_test_dir.h"
#include "support/test_os.h"

namespace tessarin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::DecodeBase64;
using testing::DevToolsPage;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path Chromium() {
  for (const char* candidate : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (fs::exists(candidate)) return candidate;
  }
  return {};
}

class BoardBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    m_chromium = Chromium();
    if (m_chromium.empty()) {
      GTEST_SKIP() << "chromium is not installed (Debian package chromium): the board's page "
                      "is not tried in a browser";
    }
    fs::create_directories(m_dir / "profile");
    fs::create_directories(kShots);
    m_image = (m_dir / "fw.rom").string();
    std::string error;
    ASSERT_EQ(RunProgram(TESSARIN_CLI_PATH,
                         {"make-image", m_image, "--vid", "0495", "--pid", "8041", "--version",
                          "3.1", "--cur", "7"},
                         m_dir / "make.out", m_dir / "make.err", &error),
              0)
        << error;
    StartBrowser();
  }

  void TearDown() override {
    m_page.reset();
    if (m_station > 0) KillProgram(m_station);
    if (m_browser > 0) KillProgram(m_browser);
  }

  void StartBrowser() {
    // The flags keep a headless browser on a closed network from trying the
    // internet; the profile is new and empty.
    std::string error;
    m_browser = StartProgram(
        m_chromium,
        {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--user-data-dir=" + (m_dir / "profile").string(), "--remote-debugging-port=0",
         "--window-size=1280,800", "about:blank"},
        m_dir / "browser.out", m_dir / "browser.err", &error);
    ASSERT_GT(m_browser, 0) << error;
    // The browser names its DevTools port in the profile once it listens.
    int port = 0;
    for (int i = 0; i < 600 && port == 0; ++i) {
      port = std::atoi(ReadFile(m_dir / "profile" / "DevToolsActivePort").c_str());
      if (port == 0) std::this_thread::sleep_for(50ms);
    }
    ASSERT_GT(port, 0) << "the browser did not start: " << ReadFile(m_dir / "browser.err");
    httplib::Client http("127.0.0.1", port);
    std::string path;
    for (int i = 0; i < 100 && path.empty(); ++i) {
      if (auto res = http.Get("/json/list")) {
        for (const auto& target : nlohmann::json::parse(res->body, nullptr, false)) {
          if (target.value("type", "") != "page") continue;
          const std::string url = target.value("webSocketDebuggerUrl", "");
          path = url.substr(url.find("/devtools/"));
          break;
        }
      }
      if (path.empty()) std::this_thread::sleep_for(50ms);
    }
    ASSERT_FALSE(path.empty()) << "the browser lists no page";
    m_page = std::make_unique<DevToolsPage>(port, path);
    ASSERT_TRUE(m_page->Open()) << "cannot reach the page's DevTools socket";
  }

  /// Starts a station with `args` after the image; the URL its board prints.
  std::string StartStation(const std::string& spec, const std::vector<std::string>& args,
                           const std::string& name) {
    std::vector<std::string> all = {"--simulate", spec,   "station",
                                    m_image,      "--db", (m_dir / "store.db").string()};
    all.insert(all.end(), args.begin(), args.end());
    std::string error;
    m_stationName = name;
    m_station = StartProgram(TESSARIN_CLI_PATH, all, m_dir / (name + ".out"),
                             m_dir / (name + ".err"), &error);
    EXPECT_GT(m_station, 0) << error;
    for (int i = 0; i < 600; ++i) {
      const std::string out = ReadFile(m_dir / (name + ".out"));
      const std::size_t at = out.find("Board: ");
      if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
        return out.substr(at + 7, out.find('\n', at) - at - 7);
      }
      std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "no board URL: " << ReadFile(m_dir / (name + ".err"));
    return {};
  }

  void Viewport(int width, int height) {
    ASSERT_TRUE(m_page->Call(
        "Emulation.setDeviceMetricsOverride",
        {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}}));
  }

  void Screenshot(const std::string& name) {
    std::string error;
    const auto shot = m_page->Call("Page.captureScreenshot", {{"format", "png"}}, &error);
    ASSERT_TRUE(shot) << error;
    const auto bytes = DecodeBase64((*shot)["data"].get<std::string>());
    std::ofstream out(fs::path(kShots) / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    EXPECT_GT(bytes.size(), 1000u) << name;
  }

  /// What the page shows, read from its DOM.
  nlohmann::json Shown() {
    m_lastLookError.clear();
    return m_page
        ->Evaluate(R"js(({
          tiles: document.querySelectorAll('#tiles .tile').length,
          ports: [...document.querySelectorAll('#tiles .tile .port')].map(e => e.textContent),
          burning: document.querySelectorAll('#tiles .tile[data-state=burning]').length,
          badges: [...document.querySelectorAll('#tiles .tile .badge')].map(e => e.textContent),
          passed: document.getElementById('c-passed').textContent,
          failed: document.getElementById('c-failed').textContent,
          yield: document.getElementById('c-yield').textContent,
          rows: document.querySelectorAll('#latest tr').length,
          station: document.getElementById('station').textContent,
          image: document.getElementById('image').textContent,
          connection: document.getElementById('connection').textContent.trim(),
        }))js",
                   &m_lastLookError)
        .value_or(nlohmann::json::object());
  }

  /// What a reader needs when the page never showed what was waited for.
  std::string Diagnosis() {
    std::string why;
    const auto where = m_page->Evaluate("location.href", &why);
    return "last look: " + (m_lastLookError.empty() ? "ok" : m_lastLookError) +
           "\npage: " + (where ? where->dump() : why) + "\nstation's output:\n" +
           ReadFile(m_dir / (m_stationName + ".out")) + "\nstation's errors:\n" +
           ReadFile(m_dir / (m_stationName + ".err"));
  }

  /// Waits (at most `limit`) until `done` holds of what the page shows; calls
  /// `each` on every look.
  template <typename Done, typename Each>
  nlohmann::json WaitFor(Done done, Each each, std::chrono::seconds limit = 60s) {
    nlohmann::json shown;
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
      shown = Shown();
      each(shown);
      if (done(shown)) return shown;
      std::this_thread::sleep_for(50ms);
    }
    ADD_FAILURE() << "the page did not get there in " << limit.count() << " s: " << shown.dump()
                  << "\n"
                  << Diagnosis();
    return shown;
  }

  static constexpr const char* kShots = TESSARIN_SCREENSHOT_DIR;
  fs::path m_chromium;
  testing::ScratchDir m_scratch{"tessarin-board-browser"};
  const fs::path m_dir = m_scratch.path();
  std::string m_image;
  long m_browser = -1;
  long m_station = -1;
  std::string m_stationName;    // the last station started: its output files
  std::string m_lastLookError;  // why the last look at the page failed, if it did
  std::unique_ptr<DevToolsPage> m_page;
};

bool Connection(const nlohmann::json& shown, const std::string& text) {
  return shown.value("connection", "").find(text) != std::string::npos;
}

TEST_F(BoardBrowser, ThePageFollowsAStationBurningSixUnitsOnThreePorts) {
  // The station runs until it is stopped, so a page that loads slowly on a
  // busy machine still finds it serving; Ctrl+C ends it once all six passed.
  const std::string url =
      StartStation("dir=" + m_dir.string() + ";units=6,ports=3,latency=170us,every=700ms,linger=1s",
                   {"--serial-format", "KS-{:06}", "--name", "bench-3", "--board", "0"}, "station");
  ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url;
  Viewport(1280, 800);
  ASSERT_TRUE(m_page->Call("Page.navigate", {{"url", url}}));

  // A tile burning is shot when the page is in time to see one (the states
  // test waits for one). The latest units come from the store, a moment
  // after the station's own events.
  bool burningShot = false;
  WaitFor(
      [](const nlohmann::json& s) {
        return s.value("passed", "") == "6" && s.value("rows", 0) == 6;
      },
      [&](const nlohmann::json& s) {
        if (!burningShot && s.value("burning", 0) > 0) {
          Screenshot("board-burning-1280x800.png");
          burningShot = true;
        }
      });
  std::string error;
  ASSERT_TRUE(SendStopEvent(m_station, StopEvent::kInterrupt, &error)) << error;
  const nlohmann::json shown =
      WaitFor([](const nlohmann::json& s) { return Connection(s, "Station ended"); },
              [](const nlohmann::json&) {});
  EXPECT_EQ(shown.value("tiles", 0), 3) << shown.dump();
  EXPECT_EQ(shown.value("ports", nlohmann::json()), nlohmann::json({"port-1", "port-2", "port-3"}));
  EXPECT_EQ(shown.value("passed", ""), "6") << shown.dump();
  EXPECT_EQ(shown.value("failed", ""), "0");
  EXPECT_EQ(shown.value("yield", ""), "100 %");
  EXPECT_EQ(shown.value("rows", 0), 6) << "latest units";
  EXPECT_EQ(shown.value("station", ""), "bench-3");
  EXPECT_NE(shown.value("image", "").find("fw.rom"), std::string::npos);
  EXPECT_NE(shown.value("image", "").find("3.1"), std::string::npos);
  EXPECT_TRUE(Connection(shown, "Station ended")) << shown.dump();
  EXPECT_EQ(WaitProgram(m_station, 30s), 0);
  m_station = -1;

  Screenshot("board-1280x800.png");
  Viewport(800, 480);
  Screenshot("board-800x480.png");
  ASSERT_TRUE(m_page->Call("Emulation.setEmulatedMedia", {{"media", "print"}}));
  Viewport(1280, 800);
  Screenshot("board-print.png");
  ASSERT_TRUE(m_page->Call("Emulation.setEmulatedMedia", {{"media", ""}}));

  // The next run on the same port: the page finds it by itself, then shows
  // a station that vanished without ending.
  Viewport(800, 480);
  const std::string port = url.substr(url.rfind(':') + 1, url.size() - url.rfind(':') - 2);
  const std::string again = StartStation("dir=" + m_dir.string() + ";units=1,ports=2,latency=170us",
                                         {"--board", port}, "again");
  EXPECT_EQ(again, url);
  const nlohmann::json live = WaitFor(
      [](const nlohmann::json& s) { return Connection(s, "Live") && s.value("passed", "") == "1"; },
      [](const nlohmann::json&) {});
  EXPECT_TRUE(Connection(live, "Live")) << live.dump();
  KillProgram(m_station);
  m_station = -1;
  const nlohmann::json lost =
      WaitFor([](const nlohmann::json& s) { return Connection(s, "Connection lost"); },
              [](const nlohmann::json&) {}, 20s);
  EXPECT_TRUE(Connection(lost, "Connection lost, retrying")) << lost.dump();
  Screenshot("board-lost-800x480.png");
}

TEST_F(BoardBrowser, EachStateReadsByItsWordAndSymbol) {
  // Slow units on two ports, a device of another maker and one whose
  // EEPROM reads back wrong, each on a port of its own.
  StartStation("dir=" + m_dir.string() +
                   ";units=8,ports=2,latency=1ms,every=300ms,linger=2s;vid=1234;corrupt=0x200",
               {"--serial-format", "KS-{:06}", "--name", "bench-3", "--board", "0"}, "station");
  ASSERT_TRUE(!HasFatalFailure());
  const std::string url = ReadFile(m_dir / "station.out");
  const std::size_t at = url.find("http://");
  ASSERT_NE(at, std::string::npos);
  Viewport(1280, 800);
  ASSERT_TRUE(m_page->Call("Page.navigate", {{"url", url.substr(at, url.find('\n', at) - at)}}));
  const auto has = [](const nlohmann::json& shown, const std::string& badge) {
    for (const auto& b : shown.value("badges", nlohmann::json::array())) {
      if (b.get<std::string>().find(badge) != std::string::npos) return true;
    }
    return false;
  };
  const nlohmann::json shown = WaitFor(
      [&](const nlohmann::json& s) {
        return has(s, "\u2714 PASS") && has(s, "\u2716 FAIL") && has(s, "\u2298 REFUSED") &&
               has(s, "\u25B6 BURNING");
      },
      [](const nlohmann::json&) {});
  EXPECT_TRUE(has(shown, "\u2714 PASS")) << shown.dump();
  EXPECT_TRUE(has(shown, "\u2716 FAIL")) << shown.dump();
  EXPECT_TRUE(has(shown, "\u2298 REFUSED")) << shown.dump();
  EXPECT_TRUE(has(shown, "\u25B6 BURNING")) << shown.dump();
  EXPECT_EQ(shown.value("failed", ""), "1");
  EXPECT_EQ(shown.value("tiles", 0), 4);
  // The failure's reason and the refusal's are on their tiles.
  const auto messages = m_page->Evaluate(
      "[...document.querySelectorAll('#tiles .tile .message')].map(e => e.textContent)");
  ASSERT_TRUE(messages);
  EXPECT_NE(messages->dump().find("Not Kestrova"), std::string::npos) << messages->dump();
  Screenshot("board-states-1280x800.png");
  Viewport(800, 480);
  Screenshot("board-states-800x480.png");
}

}  // namespace
}  // namespace tessarin
