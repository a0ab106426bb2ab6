// The Windows backend on the real HID stack of the machine that runs the
// test. No Kestrova device is expected there; what is checked is that the
// enumeration, the opening and the device-change thread work and fail the
// way the device manager and the user rely on.
// clang-format off
#include <windows.h>
#include <dbt.h>  // needs windows.h first
// clang-format on

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hid/hid_device_manager.h"
#include "platform/hid_platform.h"
#include "platform/windows/windows_hid_backend.h"

namespace tessarin {
namespace {

std::unique_ptr<HidBackend> MakeBackend() {
  std::string error;
  auto backend = CreatePlatformHidBackend(&error);
  EXPECT_NE(backend, nullptr) << error;
  return backend;
}

TEST(WindowsBackend, OpenFailureMessagesNameThePathAndWhatToDo) {
  struct Case {
    unsigned long code;
    const char* hint;  // must appear in the message
  };
  const Case cases[] = {
      {ERROR_ACCESS_DENIED, "close it, then scan again"},
      {ERROR_SHARING_VIOLATION, "close it, then scan again"},
      {ERROR_FILE_NOT_FOUND, "(the device was unplugged)"},
      {ERROR_DEVICE_NOT_CONNECTED, "(the device was unplugged)"},
      {ERROR_INVALID_PARAMETER, ""},
  };
  for (const Case& c : cases) {
    const std::string text = DescribeHidOpenFailure("\\\\?\\hid#vid_0495", c.code);
    SCOPED_TRACE(text);
    EXPECT_EQ(text.rfind("open \\\\?\\hid#vid_0495: ", 0), 0u);
    EXPECT_NE(text.find(c.hint), std::string::npos);
    // The system's reason, not an empty string, and no line break from it.
    EXPECT_GT(text.size(), std::string("open \\\\?\\hid#vid_0495: ").size());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
  }
}

TEST(WindowsBackend, ErrorTextFallsBackToTheNumber) {
  EXPECT_EQ(WindowsErrorText(0xDEADBEEF), "error 3735928559");
  EXPECT_NE(WindowsErrorText(ERROR_FILE_NOT_FOUND), "error 2");
}

TEST(WindowsBackend, OpeningAMissingOrMalformedPathFailsWithAReason) {
  auto backend = MakeBackend();
  ASSERT_TRUE(backend);
  const std::string missing =
      "\\\\?\\hid#vid_0495&pid_ffff#0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  for (HidOpenMode mode : {HidOpenMode::kQuery, HidOpenMode::kWrite, HidOpenMode::kRead}) {
    std::string error;
    EXPECT_EQ(backend->Open(missing, mode, &error), nullptr);
    EXPECT_NE(error.find(missing), std::string::npos) << error;
  }
  std::string error;
  EXPECT_EQ(backend->Open("", HidOpenMode::kQuery, &error), nullptr);
  EXPECT_FALSE(error.empty());
  error.clear();
  EXPECT_EQ(backend->Open("\xff\xfe", HidOpenMode::kQuery, &error), nullptr);
  EXPECT_NE(error.find("not UTF-8"), std::string::npos) << error;
  EXPECT_EQ(backend->Open(missing, HidOpenMode::kQuery, nullptr), nullptr);
}

// The scan the program runs at start-up, on whatever HID interfaces this
// system has: it completes, accounts for every interface, and lists only
// interfaces that answer the probe.
TEST(WindowsBackend, EachInterfaceKeepsTheLocationPathOfItsPort) {
  auto backend = MakeBackend();
  ASSERT_TRUE(backend);
  const std::vector<HidInterfaceInfo> first = backend->Enumerate();
  const std::vector<HidInterfaceInfo> again = backend->Enumerate();
  ASSERT_EQ(first.size(), again.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    std::cout << "interface " << first[i].m_path << " port \"" << first[i].m_port << "\"\n";
    ASSERT_EQ(first[i].m_path, again[i].m_path);
    // The port is a property of where the device sits: the same on every look.
    EXPECT_EQ(first[i].m_port, again[i].m_port) << first[i].m_path;
    // A location path is one string, not the registry's list of them.
    EXPECT_EQ(first[i].m_port.find('\0'), std::string::npos);
  }
}

TEST(WindowsBackend, ScanListsOnlyInterfacesThatAnswerTheProbe) {
  auto backend = MakeBackend();
  ASSERT_TRUE(backend);
  const std::vector<HidInterfaceInfo> present = backend->Enumerate();
  std::set<std::string> paths;
  for (const HidInterfaceInfo& info : present) {
    std::cout << "interface " << info.m_path << " " << std::hex << info.m_vendorId << ":"
              << info.m_productId << std::dec << " output " << info.m_outputReportByteLength
              << " feature " << info.m_featureReportByteLength
              << (info.m_error.empty() ? "" : " error: " + info.m_error) << "\n";
    EXPECT_FALSE(info.m_path.empty());
    EXPECT_TRUE(paths.insert(info.m_path).second) << "listed twice: " << info.m_path;
    // An interface that was examined can be opened for querying again.
    if (info.m_error.empty()) {
      std::string error;
      EXPECT_NE(backend->Open(info.m_path, HidOpenMode::kQuery, &error), nullptr) << error;
    }
  }

  HidDeviceManager manager(*backend);
  const auto first = manager.Scan();
  std::cout << "listed " << manager.Entries().size() << ", skipped " << manager.Skipped().size()
            << "\n";
  for (const HidSkippedInterface& skipped : manager.Skipped()) {
    std::cout << "skipped " << skipped.m_info.m_path << ": " << skipped.m_reason << "\n";
  }
  EXPECT_EQ(first == nullptr, manager.Entries().empty());
  // Each interface present is either listed or skipped with a reason (the
  // list may change between the two enumerations only if a device comes or
  // goes meanwhile).
  EXPECT_EQ(manager.Entries().size() + manager.Skipped().size(), present.size());
  for (const HidSkippedInterface& skipped : manager.Skipped()) {
    EXPECT_FALSE(skipped.m_reason.empty()) << skipped.m_info.m_path;
  }
  for (const auto& entry : manager.Entries()) {
    SCOPED_TRACE(entry->devicePath);
    EXPECT_NE(entry->reportMode, REPORT_MODE_NONE);
    // A fresh probe on fresh handles answers too.
    HidHandlePtr feature = backend->Open(entry->devicePath, HidOpenMode::kQuery, nullptr);
    HidHandlePtr write, read;
    if (entry->reportMode == REPORT_MODE_OUTPUT_INPUT) {
      write = backend->Open(entry->devicePath, HidOpenMode::kWrite, nullptr);
      read = backend->Open(entry->devicePath, HidOpenMode::kRead, nullptr);
    }
    EXPECT_TRUE(manager.Probe(entry->reportMode, feature.get(), write.get(), read.get()));
    // Nothing is open on a listed entry until Open().
    EXPECT_FALSE(entry->featureHandle || entry->writeHandle || entry->readHandle);
  }
  // A second scan completes as well (the first one's handles are all closed).
  manager.Scan();
  EXPECT_EQ(manager.Entries().size() + manager.Skipped().size(), present.size());
}

// The hidden windows of this process's device-change threads, in the order
// the system keeps them; each exists from the first listener until its
// backend is gone. (The search sees other processes' windows too: tests run
// side by side.)
HWND FindDeviceChangeWindow(HWND after = nullptr) {
  HWND window = after;
  while ((window = ::FindWindowExW(HWND_MESSAGE, window, kDeviceChangeWindowClass, nullptr))) {
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process == ::GetCurrentProcessId()) return window;
  }
  return nullptr;
}

class ListenerLog {
 public:
  void Record(int code) {
    std::lock_guard lock(m_mutex);
    m_codes.push_back(code);
    m_threads.insert(std::this_thread::get_id());
    m_changed.notify_all();
  }
  std::vector<int> Codes() {
    std::lock_guard lock(m_mutex);
    return m_codes;
  }
  std::set<std::thread::id> Threads() {
    std::lock_guard lock(m_mutex);
    return m_threads;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<int> m_codes;
  std::set<std::thread::id> m_threads;
};

TEST(WindowsBackend, ArrivalsAndRemovalsReachTheListenerOnTheBackendsThread) {
  ASSERT_EQ(FindDeviceChangeWindow(), nullptr) << "no backend should be listening yet";
  auto backend = MakeBackend();
  ASSERT_TRUE(backend);
  EXPECT_EQ(backend->DeviceChangeFd(), -1);
  // No listener, no thread.
  EXPECT_EQ(FindDeviceChangeWindow(), nullptr);

  ListenerLog log;
  backend->SetDeviceChangeListener([&log](int code) { log.Record(code); });
  const HWND window = FindDeviceChangeWindow();
  ASSERT_NE(window, nullptr);

  // What the system sends for an interface of the registered class, and what
  // else a window may receive.
  DEV_BROADCAST_DEVICEINTERFACE_W iface{};
  iface.dbcc_size = sizeof(iface);
  iface.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  DEV_BROADCAST_HDR volume{};
  volume.dbch_size = sizeof(volume);
  volume.dbch_devicetype = DBT_DEVTYP_VOLUME;
  struct Case {
    WPARAM event;
    const void* data;
    bool counts;
  };
  const Case cases[] = {
      {DBT_DEVICEARRIVAL, &iface, true},      {DBT_DEVICEREMOVECOMPLETE, &iface, true},
      {DBT_DEVICEQUERYREMOVE, &iface, false}, {DBT_DEVICEARRIVAL, &volume, false},
      {DBT_DEVICEARRIVAL, nullptr, false},
  };
  size_t expected = 0;
  for (const Case& c : cases) {
    // SendMessage returns once the backend's thread has handled it.
    ::SendMessageW(window, WM_DEVICECHANGE, c.event, reinterpret_cast<LPARAM>(c.data));
    if (c.counts) ++expected;
    EXPECT_EQ(log.Codes().size(), expected) << "event " << c.event;
  }
  EXPECT_EQ(log.Codes(), std::vector<int>(expected, DEVICE_NODES_CHANGED));
  ASSERT_EQ(log.Threads().size(), 1u);
  EXPECT_NE(*log.Threads().begin(), std::this_thread::get_id());

  // Replacing or clearing the listener keeps the one thread and window.
  std::atomic<int> second{0};
  backend->SetDeviceChangeListener([&second](int) { ++second; });
  EXPECT_EQ(FindDeviceChangeWindow(), window);
  ::SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&iface));
  EXPECT_EQ(second.load(), 1);
  backend->SetDeviceChangeListener({});
  ::SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&iface));
  EXPECT_EQ(second.load(), 1);
  EXPECT_EQ(log.Codes().size(), expected);

  // Destroying the backend ends the thread and its window.
  backend.reset();
  EXPECT_EQ(FindDeviceChangeWindow(), nullptr);
}

// A front end frees what its listener refers to once it has removed the
// listener; a call in progress on the backend's thread must be over by then.
TEST(WindowsBackend, RemovingTheListenerWaitsForACallInProgress) {
  auto backend = MakeBackend();
  ASSERT_TRUE(backend);
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> callOver{false};
  backend->SetDeviceChangeListener([&, released](int) {
    entered.set_value();
    released.wait();
    callOver = true;
  });
  const HWND window = FindDeviceChangeWindow();
  ASSERT_NE(window, nullptr);
  DEV_BROADCAST_DEVICEINTERFACE_W iface{};
  iface.dbcc_size = sizeof(iface);
  iface.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  // Sent from a thread of its own (the message carries a pointer, so it
  // cannot be posted), which stays blocked until the listener returns.
  std::thread sender([&] {
    ::SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&iface));
  });
  entered.get_future().wait();

  std::atomic<bool> removed{false};
  std::thread remover([&] {
    backend->SetDeviceChangeListener({});
    removed = true;
    EXPECT_TRUE(callOver.load()) << "returned while the old listener was still running";
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(removed.load());
  release.set_value();
  remover.join();
  sender.join();
  EXPECT_TRUE(removed.load());
}

TEST(WindowsBackend, TwoBackendsListenSideBySide) {
  auto one = MakeBackend();
  auto two = MakeBackend();
  ASSERT_TRUE(one && two);
  std::atomic<int> a{0}, b{0};
  one->SetDeviceChangeListener([&a](int) { ++a; });
  two->SetDeviceChangeListener([&b](int) { ++b; });
  const HWND found = FindDeviceChangeWindow();
  ASSERT_NE(found, nullptr);
  const HWND other = FindDeviceChangeWindow(found);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(FindDeviceChangeWindow(other), nullptr);
  DEV_BROADCAST_DEVICEINTERFACE_W iface{};
  iface.dbcc_size = sizeof(iface);
  iface.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  // Each window reaches its own backend's listener only.
  ::SendMessageW(found, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&iface));
  EXPECT_EQ(a.load() + b.load(), 1);
  const bool foundIsOne = a.load() == 1;
  ::SendMessageW(other, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&iface));
  EXPECT_EQ(a.load(), 1);
  EXPECT_EQ(b.load(), 1);
  one.reset();
  EXPECT_EQ(FindDeviceChangeWindow(), foundIsOne ? other : found);
  EXPECT_EQ(FindDeviceChangeWindow(FindDeviceChangeWindow()), nullptr);
  two.reset();
  EXPECT_EQ(FindDeviceChangeWindow(), nullptr);
}

}  // namespace
}  // namespace tessarin
