// A window that records what the dialog does to it; the test's own thread is
// the user-interface thread and runs the posted closures when it pumps.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ui/dialog_host.h"
#include "ui/tessarin_dlg.h"

namespace tessarin::testing {

class RecordingFramework : public DialogHost {
 public:
  struct Box {
    std::u16string text;
    std::u16string caption;
  };

  void SetControlText(int id, const std::u16string& text) override {
    texts[id] = text;
    ++calls;
    if (id == IDC_STATUS) statusTexts.push_back(text);
  }
  void EnableControl(int id, bool enable) override {
    enabled[id] = enable;
    ++calls;
  }
  void ShowControl(int id, bool show) override {
    shown[id] = show;
    ++calls;
  }
  void SetControlRed(int id, bool on) override {
    red[id] = on;
    ++calls;
  }
  void ComboResetContent(int) override {
    comboLines.clear();
    comboSel = -1;
    ++calls;
  }
  int ComboAddString(int, const std::u16string& text) override {
    comboLines.push_back(text);
    ++calls;
    return static_cast<int>(comboLines.size()) - 1;
  }
  void ComboSetCurSel(int, int index) override {
    comboSel = index;
    ++calls;
  }
  void ProgressSetRange(int id, int min, int max) override {
    EXPECT_EQ(id, IDC_PROGRESS);
    range = {min, max};
    ++rangeSets;
    ++calls;
  }
  void ProgressSetPos(int id, int pos) override {
    EXPECT_EQ(id, IDC_PROGRESS);
    position = pos;
    ++calls;
  }
  MessageBoxResult MessageBox(const std::u16string& text, const std::u16string& caption) override {
    boxes.push_back({text, caption});
    events.push_back("box");
    if (onMessageBox) onMessageBox();
    events.push_back("box dismissed");
    return MessageBoxResult::kOk;
  }
  std::optional<std::u16string> ChooseFile() override {
    if (chooseAnswers.empty()) return std::nullopt;
    std::optional<std::u16string> answer = chooseAnswers.front();
    chooseAnswers.pop_front();
    return answer;
  }
  void PostToUiThread(std::function<void()> closure) override {
    if (onPost) onPost();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(std::move(closure));
  }
  void EndDialog(int result) override {
    endResult = result;
    events.push_back("end");
  }
  void AddAboutCommand(const std::u16string& text) override { aboutCommand = text; }
  void SetWindowIcon(int id) override { iconId = id; }
  void RunAboutBox() override { ++aboutRuns; }
  int RunModal() override { return runModal ? runModal() : endResult.value_or(0); }

  /// Runs queued closures until none is left; returns how many ran.
  int RunPosted() {
    int ran = 0;
    for (;;) {
      std::function<void()> closure;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.empty()) return ran;
        closure = std::move(m_queue.front());
        m_queue.pop_front();
      }
      closure();
      ++ran;
    }
  }
  /// Pumps until `done` holds; false when it did not within a generous
  /// guard (a hang, not a speed check).
  bool PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      RunPosted();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  size_t Queued() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.size();
  }

  std::map<int, std::u16string> texts;
  std::map<int, bool> enabled;
  std::map<int, bool> shown;
  std::map<int, bool> red;
  std::vector<std::u16string> comboLines;
  int comboSel = -1;
  std::pair<int, int> range{0, 100};
  int rangeSets = 0;
  int position = 0;
  std::vector<std::u16string> statusTexts;
  std::vector<Box> boxes;
  std::vector<std::string> events;
  std::deque<std::optional<std::u16string>> chooseAnswers;
  std::optional<int> endResult;
  std::u16string aboutCommand;
  int iconId = 0;
  int aboutRuns = 0;
  long calls = 0;
  /// Runs on the posting thread before the closure is queued.
  std::function<void()> onPost;
  /// Runs inside MessageBox, as the nested event loop of a real box would.
  std::function<void()> onMessageBox;
  /// The modal run, as a host would drive it.
  std::function<int()> runModal;

 private:
  std::mutex m_mutex;
  std::deque<std::function<void()>> m_queue;
};

}  // namespace tessarin::testing
