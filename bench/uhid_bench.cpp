// Exchanges on a real hidraw node, in both report modes: the device
// manager's ReadBlock and WriteBlock timed in alternation with bare
// write()/ioctl() calls carrying the same frames on the same node. The device is a uhid
// device answered by the simulated device on a thread of this process, so
// both loops pay the same kernel round trip and the difference is what the
// manager and the backend add; the goal is at most 5 %. Needs /dev/uhid
// (the test guest runs it as root); elsewhere every benchmark is skipped.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "hid/hid_device_manager.h"
#include "platform/hid_platform.h"
#include "platform/linux/uhid_device.h"
#include "sim/sim_device.h"
#include "uhid/sim_responder.h"

namespace tessarin {
namespace {

/// One uhid device of the given mode, served on its own thread, and the
/// manager opened on it.
class Rig {
 public:
  explicit Rig(ReportMode mode) {
    SimDeviceConfig config;
    if (mode == REPORT_MODE_FEATURE) {
      config.m_outputReportByteLength = 0;
      config.m_inputReportByteLength = 0;
      config.m_featureReportByteLength = REPORT_LENGTH;
    }
    m_device = std::make_shared<SimDevice>(config);
    m_device->SetLogging(false);
    m_responder = std::make_unique<SimResponder>(m_device);
    m_uhid = UhidDevice::Create(UhidSpecFor(config, "Tessarin bench device",
                                            "tessarin-bench-" + std::to_string(::getpid()) + "-" +
                                                std::to_string(static_cast<int>(mode))),
                                &m_error);
    if (!m_uhid) return;
    m_node = m_uhid->WaitForHidrawNode(std::chrono::seconds(5));
    m_server = std::thread([this] {
      // As the bridge runs in the guest: at a real-time priority, so that it
      // takes each output report before the loop sends the next (where
      // permitted; otherwise the kernel drops what overflows its queue).
      sched_param priority{};
      priority.sched_priority = 10;
      pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
      std::string err;
      while (!m_stop && m_uhid->Serve(*m_responder, std::chrono::milliseconds(20), &err)) {
      }
    });
    m_backend = CreatePlatformHidBackend(&m_error);
    if (!m_backend) return;
    m_manager = std::make_unique<HidDeviceManager>(*m_backend);
    if (!m_manager->Open(m_manager->Scan())) m_error = "no device listed on " + m_node;
    m_fd = ::open(m_node.c_str(), O_RDWR | O_CLOEXEC);
  }
  ~Rig() {
    if (m_fd >= 0) ::close(m_fd);
    m_manager.reset();
    m_stop = true;
    if (m_server.joinable()) m_server.join();
  }

  /// Empty when the rig is usable; otherwise why not.
  std::string Problem() const {
    if (!m_error.empty()) return m_error;
    if (m_fd < 0) return "cannot open " + m_node;
    return "";
  }
  HidDeviceManager& Manager() { return *m_manager; }
  int Fd() const { return m_fd; }

 private:
  std::string m_error;
  std::shared_ptr<SimDevice> m_device;
  std::unique_ptr<SimResponder> m_responder;
  std::unique_ptr<UhidDevice> m_uhid;
  std::string m_node;
  std::atomic<bool> m_stop{false};
  std::thread m_server;
  std::unique_ptr<HidBackend> m_backend;
  std::unique_ptr<HidDeviceManager> m_manager;
  int m_fd = -1;
};

ReportMode ModeOf(const benchmark::State& state) { return static_cast<ReportMode>(state.range(0)); }

/// The rig of a mode, made on first use and kept while that mode is
/// measured, so that repetitions measure the same node, device and server
/// thread. Only one rig lives at a time: the manager opens the first device
/// it lists.
Rig& RigFor(ReportMode mode) {
  static std::unique_ptr<Rig> rig;
  static ReportMode rigMode = REPORT_MODE_OUTPUT_INPUT;
  if (!rig || rigMode != mode) {
    rig.reset();
    rig = std::make_unique<Rig>(mode);
    rigMode = mode;
  }
  return *rig;
}

bool Usable(benchmark::State& state, Rig& rig) {
  const std::string problem = rig.Problem();
  if (problem.empty()) return true;
  state.SkipWithError(problem.c_str());
  return false;
}

// The bare calls the backend makes for one send and one fetch.
bool BareSend(int fd, ReportMode mode, ReportFrame& frame) {
  if (mode == REPORT_MODE_FEATURE) {
    return ::ioctl(fd, HIDIOCSFEATURE(REPORT_LENGTH), frame.data()) == REPORT_LENGTH;
  }
  return ::write(fd, frame.data(), frame.size()) == REPORT_LENGTH;
}
bool BareFetch(int fd, ReportMode mode, ReportFrame& frame) {
  frame[0] = 0;
  const unsigned long request =
      mode == REPORT_MODE_FEATURE ? HIDIOCGFEATURE(REPORT_LENGTH) : HIDIOCGINPUT(REPORT_LENGTH);
  return ::ioctl(fd, request, frame.data()) > 0;
}

/// Times `bare` and `managed` in alternating pairs (each goes first in every
/// other pair), so that drift in the emulated machine falls on both alike,
/// and reports their mean times and the manager's overhead in percent.
template <class Bare, class Managed>
void Paired(benchmark::State& state, Bare bare, Managed managed) {
  using Clock = std::chrono::steady_clock;
  Clock::duration bareTime{};
  Clock::duration managerTime{};
  bool bareFirst = true;
  for (auto _ : state) {
    for (int step = 0; step < 2; ++step) {
      const bool runBare = (step == 0) == bareFirst;
      const auto begin = Clock::now();
      if (!(runBare ? bare() : managed())) {
        state.SkipWithError(runBare ? "bare exchange failed" : "manager exchange failed");
        return;
      }
      (runBare ? bareTime : managerTime) += Clock::now() - begin;
    }
    bareFirst = !bareFirst;
  }
  const auto micros = [&state](Clock::duration total) {
    return std::chrono::duration<double, std::micro>(total).count() /
           static_cast<double>(state.iterations());
  };
  state.counters["bare_us"] = micros(bareTime);
  state.counters["manager_us"] = micros(managerTime);
  state.counters["overhead_pct"] = 100.0 * (micros(managerTime) / micros(bareTime) - 1.0);
}

// One read request and its reply: bare send and fetch against ReadBlock.
void ReadExchange(benchmark::State& state) {
  const ReportMode mode = ModeOf(state);
  Rig& rig = RigFor(mode);
  if (!Usable(state, rig)) return;
  ReportFrame request = ReadRequestFrame(0x100, READ_BLOCK_MAX);
  ReportFrame reply{};
  std::array<std::uint8_t, READ_BLOCK_MAX> out{};
  Paired(
      state, [&] { return BareSend(rig.Fd(), mode, request) && BareFetch(rig.Fd(), mode, reply); },
      [&] { return rig.Manager().ReadBlock(0x100, READ_BLOCK_MAX, out.data()); });
}

// One write request: a bare send against WriteBlock.
void WriteSend(benchmark::State& state) {
  const ReportMode mode = ModeOf(state);
  Rig& rig = RigFor(mode);
  if (!Usable(state, rig)) return;
  std::array<std::uint8_t, WRITE_BLOCK_MAX> data{};
  ReportFrame request = WriteRequestFrame(0x100, WRITE_BLOCK_MAX);
  Paired(
      state, [&] { return BareSend(rig.Fd(), mode, request); },
      [&] { return rig.Manager().WriteBlock(0x100, data.data(), WRITE_BLOCK_MAX); });
}

BENCHMARK(ReadExchange)->ArgName("mode")->Arg(1)->Arg(2);
BENCHMARK(WriteSend)->ArgName("mode")->Arg(1)->Arg(2);

}  // namespace
}  // namespace tessarin

BENCHMARK_MAIN();
