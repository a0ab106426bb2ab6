#include "sim/sim_backend.h"

#include <algorithm>
#include <utility>

#include "sim/sim_plugger.h"

namespace tessarin {

namespace {

// A handle holds its device alive; like an OS handle it only carries the
// report types its access allows: output reports need write access, input
// reports read access, feature reports any handle.
class SimHandle : public HidHandle {
 public:
  SimHandle(std::shared_ptr<SimDevice> device, HidOpenMode mode)
      : m_device(std::move(device)), m_mode(mode) {
    m_device->HandleOpened(m_mode);
  }
  ~SimHandle() override { m_device->HandleClosed(m_mode); }

  bool SetOutputReport(const std::uint8_t* report, std::size_t length) override {
    return m_mode == HidOpenMode::kWrite &&
           m_device->HandleSend(HidReportType::kOutput, report, length);
  }
  bool GetInputReport(std::uint8_t* report, std::size_t length) override {
    return m_mode == HidOpenMode::kRead &&
           m_device->HandleFetch(HidReportType::kInput, report, length);
  }
  bool SetFeature(const std::uint8_t* report, std::size_t length) override {
    return m_device->HandleSend(HidReportType::kFeature, report, length);
  }
  bool GetFeature(std::uint8_t* report, std::size_t length) override {
    return m_device->HandleFetch(HidReportType::kFeature, report, length);
  }

 private:
  std::shared_ptr<SimDevice> m_device;
  HidOpenMode m_mode;
};

}  // namespace

SimBackend::SimBackend(std::shared_ptr<SimClock> clock) : m_clock(std::move(clock)) {}

SimBackend::~SimBackend() {
  // The pluggers call back into this backend; they end before anything else goes.
  m_pluggers.clear();
  for (const auto& [path, device] : m_devices) device->SetVanishListener({});
}

std::string SimBackend::AddDevice(SimDeviceConfig config, const std::string& port) {
  return AddDevice(std::make_shared<SimDevice>(std::move(config), m_clock), port,
                   /*plugInAgain=*/false);
}

std::string SimBackend::AddDevice(std::shared_ptr<SimDevice> device, const std::string& port,
                                  bool plugInAgain) {
  // A device unplugged before is plugged in again; a new one keeps the
  // vanishing its configuration plans (vanish-after=K, 0 included).
  if (plugInAgain && device->Vanished()) device->Reattach();
  device->SetVanishListener([this] { m_listener.Notify(); });
  std::string path;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int index = m_nextIndex++;
    path = "sim:" + std::to_string(index);
    m_devices.emplace_back(path, std::move(device));
    m_ports.push_back(port.empty() ? "usb-" + std::to_string(index) : port);
  }
  m_listener.Notify();
  return path;
}

void SimBackend::StartPlugging(SimPlugPlan plan, const std::string& dir) {
  std::vector<std::string> ports;
  int firstUnit = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int i = 0; i < plan.m_ports; ++i) ports.push_back("port-" + std::to_string(m_nextPort++));
    firstUnit = m_nextUnit;
    m_nextUnit += plan.m_units;
  }
  m_pluggers.push_back(std::make_unique<SimPlugger>(*this, std::move(plan), std::move(ports), dir,
                                                    firstUnit, m_clock));
}

bool SimBackend::PluggingDone() const {
  for (const auto& plugger : m_pluggers) {
    if (!plugger->Done()) return false;
  }
  return true;
}

bool SimBackend::RemoveDevice(const std::string& path) {
  std::shared_ptr<SimDevice> device;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find_if(m_devices.begin(), m_devices.end(),
                           [&](const auto& item) { return item.first == path; });
    if (it == m_devices.end()) return false;
    device = std::move(it->second);
    m_ports.erase(m_ports.begin() + (it - m_devices.begin()));
    m_devices.erase(it);
  }
  device->SetVanishListener({});
  device->Vanish();
  m_listener.Notify();
  return true;
}

std::shared_ptr<SimDevice> SimBackend::Device(const std::string& path) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& [name, device] : m_devices) {
    if (name == path) return device;
  }
  return nullptr;
}

std::vector<std::pair<std::string, std::shared_ptr<SimDevice>>> SimBackend::Devices() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_devices;
}

int SimBackend::OpenHandles() const {
  int open = 0;
  for (const auto& item : Devices()) open += item.second->OpenHandles();
  return open;
}

std::vector<HidInterfaceInfo> SimBackend::Enumerate() {
  std::vector<std::pair<std::string, std::shared_ptr<SimDevice>>> devices;
  std::vector<std::string> ports;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    devices = m_devices;
    ports = m_ports;
  }
  std::vector<HidInterfaceInfo> interfaces;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (devices[i].second->Vanished()) continue;
    HidInterfaceInfo info = devices[i].second->Info();
    info.m_path = devices[i].first;
    info.m_port = ports[i];
    interfaces.push_back(std::move(info));
  }
  return interfaces;
}

HidHandlePtr SimBackend::Open(const std::string& path, HidOpenMode mode, std::string* error) {
  const std::shared_ptr<SimDevice> device = Device(path);
  if (!device || device->Vanished()) {
    if (error) *error = "open " + path + ": No such device";
    return nullptr;
  }
  if (device->DenyOpen()) {
    if (error) *error = "open " + path + ": Permission denied";
    return nullptr;
  }
  return std::make_unique<SimHandle>(device, mode);
}

DeviceClaimPtr SimBackend::Claim(const std::string& path, bool* busy) {
  const std::shared_ptr<SimDevice> device = Device(path);
  if (!device) {
    *busy = false;
    return std::make_unique<DeviceClaim>();
  }
  return device->Claim(busy);
}

void SimBackend::SetDeviceChangeListener(DeviceChangeListener listener) {
  m_listener.Set(std::move(listener));
}

}  // namespace tessarin
