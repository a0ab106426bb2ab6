#include "platform/linux/hidraw_backend.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <system_error>
#include <vector>

#include "platform/file_io.h"
#include "platform/linux/hid_report_descriptor.h"

#ifndef TESSARIN_UDEV_RULE
#define TESSARIN_UDEV_RULE "/usr/lib/udev/rules.d/70-tessarin.rules"
#endif

namespace tessarin {

const char* const kUdevRulePath = TESSARIN_UDEV_RULE;

std::vector<std::string> UdevRuleCandidates() {
  std::vector<std::string> places = {kUdevRulePath};
  for (const char* dir : {"/etc/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d",
                          "/usr/local/lib/udev/rules.d"}) {
    const std::string place = std::string(dir) + "/70-tessarin.rules";
    if (place != places.front()) places.push_back(place);
  }
  return places;
}

std::string UdevRuleAdvice(const std::function<bool(const std::string&)>& exists) {
  const std::vector<std::string> places = UdevRuleCandidates();
  for (const std::string& place : places) {
    if (exists(place)) {
      return "The udev rule " + place +
             " gives access to Kestrova devices (vendor 0495) without root: run `udevadm control "
             "--reload && udevadm trigger` as root, or plug the device in again";
    }
  }
  return "The udev rule 70-tessarin.rules gives access to Kestrova devices (vendor 0495) "
         "without root, and it is not installed (looked for " +
         places.front() +
         " and in /etc/udev/rules.d, /usr/lib/udev/rules.d): install it with the "
         "program (or copy packaging/udev/70-tessarin.rules to /etc/udev/rules.d), then run "
         "`udevadm control --reload && udevadm trigger` as root, or plug the device in again";
}

namespace {

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string DescribeHidrawOpenFailure(const std::string& node, int err) {
  std::string text = "open " + node + ": " + std::generic_category().message(err);
  if (err == EACCES || err == EPERM) {
    text += ". " + UdevRuleAdvice(FileExists);
  } else if (err == ENOENT || err == ENODEV || err == ENXIO) {
    text += " (the device was unplugged)";
  }
  return text;
}

namespace {

struct UdevDeleter {
  void operator()(udev* p) const { udev_unref(p); }
  void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
  void operator()(udev_device* p) const { udev_device_unref(p); }
  void operator()(udev_monitor* p) const { udev_monitor_unref(p); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

/// Owns one open file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  int get() const { return m_fd; }

 private:
  int m_fd;
};

int OpenNode(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int Ioctl(int fd, unsigned long request, void* arg) {
  int r;
  do {
    r = ::ioctl(fd, request, arg);
  } while (r < 0 && errno == EINTR);
  return r;
}

/// A handle on one hidraw node. The descriptor never changes after
/// construction, so the report calls may run on two threads at once.
class HidrawHandle final : public HidHandle {
 public:
  explicit HidrawHandle(int fd) : m_fd(fd) {}

  bool SetOutputReport(const std::uint8_t* report, std::size_t length) override {
    // write() takes byte 0 as the report ID, as HidD_SetOutputReport does, and
    // works on every kernel (HIDIOCSOUTPUT needs 5.11).
    if (!Usable(report, length)) return false;
    ssize_t n;
    do {
      n = ::write(m_fd.get(), report, length);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(length);
  }

  bool GetInputReport(std::uint8_t* report, std::size_t length) override {
    // A GET_REPORT(Input) on the control pipe, like HidD_GetInputReport; not
    // read(), which would wait for the next interrupt report.
    if (!Usable(report, length)) return false;
    return Fetched(report, length, Ioctl(m_fd.get(), HIDIOCGINPUT(length), report));
  }

  bool SetFeature(const std::uint8_t* report, std::size_t length) override {
    if (!Usable(report, length)) return false;
    // The kernel does not write through the buffer of a Set request.
    void* arg = const_cast<std::uint8_t*>(report);
    return Ioctl(m_fd.get(), HIDIOCSFEATURE(length), arg) == static_cast<int>(length);
  }

  bool GetFeature(std::uint8_t* report, std::size_t length) override {
    if (!Usable(report, length)) return false;
    return Fetched(report, length, Ioctl(m_fd.get(), HIDIOCGFEATURE(length), report));
  }

 private:
  static bool Usable(const void* report, std::size_t length) {
    // The ioctl numbers encode the length in 14 bits.
    return report != nullptr && length > 0 && length <= 4096;
  }

  // A device may answer with a shorter report than asked for: the rest of
  // the buffer is cleared rather than left holding an older reply. An empty
  // answer is no report.
  static bool Fetched(std::uint8_t* report, std::size_t length, int result) {
    if (result <= 0) return false;
    const auto got = static_cast<std::size_t>(result);
    if (got < length) std::memset(report + got, 0, length - got);
    return true;
  }

  Fd m_fd;
};

/// Ids and descriptor straight from the node, for a hid parent whose sysfs
/// entries are missing. Needs read access to the node.
bool ReadFromNode(const std::string& node, HidInterfaceInfo& info, std::vector<std::uint8_t>& desc,
                  std::string* error) {
  Fd fd(OpenNode(node, O_RDONLY));
  if (fd.get() < 0) {
    *error = DescribeHidrawOpenFailure(node, errno);
    return false;
  }
  hidraw_devinfo devinfo{};
  int size = 0;
  if (Ioctl(fd.get(), HIDIOCGRAWINFO, &devinfo) < 0 ||
      Ioctl(fd.get(), HIDIOCGRDESCSIZE, &size) < 0) {
    *error = "read the ids of " + node + ": " + std::generic_category().message(errno);
    return false;
  }
  hidraw_report_descriptor rd{};
  rd.size = static_cast<std::uint32_t>(size);
  if (size < 0 || size > HID_MAX_DESCRIPTOR_SIZE || Ioctl(fd.get(), HIDIOCGRDESC, &rd) < 0) {
    *error = "read the report descriptor of " + node + ": " +
             (size < 0 || size > HID_MAX_DESCRIPTOR_SIZE ? std::string("impossible size")
                                                         : std::generic_category().message(errno));
    return false;
  }
  // The ids are __s16 in the kernel's structure.
  info.m_vendorId = static_cast<std::uint16_t>(devinfo.vendor);
  info.m_productId = static_cast<std::uint16_t>(devinfo.product);
  desc.assign(rd.value, rd.value + size);
  return true;
}

HidInterfaceInfo Examine(udev_device* dev) {
  HidInterfaceInfo info;
  const char* devnode = udev_device_get_devnode(dev);
  info.m_path = devnode ? devnode : std::string("/dev/") + udev_device_get_sysname(dev);

  // The USB device's name in sysfs is its port path, bus first ("1-2.3"):
  // the same for whatever device is plugged into that port.
  if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device")) {
    if (const char* port = udev_device_get_sysname(usb)) info.m_port = port;
  }

  std::vector<std::uint8_t> desc;
  bool haveIds = false;
  bool haveDesc = false;
  // The parent is owned by `dev`: no unref.
  if (udev_device* hid = udev_device_get_parent_with_subsystem_devtype(dev, "hid", nullptr)) {
    unsigned bus = 0, vendor = 0, product = 0;
    const char* id = udev_device_get_property_value(hid, "HID_ID");
    if (id && std::sscanf(id, "%x:%x:%x", &bus, &vendor, &product) == 3) {
      info.m_vendorId = static_cast<std::uint16_t>(vendor);
      info.m_productId = static_cast<std::uint16_t>(product);
      haveIds = true;
    }
    if (const char* sys = udev_device_get_syspath(hid)) {
      WholeFile file =
          ReadWholeFile(std::string(sys) + "/report_descriptor", HID_MAX_DESCRIPTOR_SIZE);
      if (file.m_failure == FileReadFailure::kNone && !file.m_bytes.empty()) {
        desc = std::move(file.m_bytes);
        haveDesc = true;
      }
    }
  }
  if (!haveIds || !haveDesc) {
    std::string error;
    HidInterfaceInfo fromNode;
    if (!ReadFromNode(info.m_path, fromNode, desc, &error)) {
      info.m_error = error;
      return info;
    }
    info.m_vendorId = fromNode.m_vendorId;
    info.m_productId = fromNode.m_productId;
  }

  std::string error;
  if (auto lengths = ParseReportDescriptor(desc, &error)) {
    info.m_outputReportByteLength = lengths->m_output;
    info.m_featureReportByteLength = lengths->m_feature;
  } else {
    info.m_error = info.m_path + ": " + error;
  }
  return info;
}

/// An advisory lock on the hidraw node: every program of the project takes it
/// before a burn or a read, so no two interleave their frames. The kernel
/// drops it with the descriptor, also when the process dies.
class HidrawClaim final : public DeviceClaim {
 public:
  explicit HidrawClaim(int fd) : m_fd(fd) {}

 private:
  Fd m_fd;
};

class HidrawBackend final : public HidBackend {
 public:
  /// `udev` is the monitor's context (possibly null with the monitor), used by
  /// the monitor only.
  HidrawBackend(UdevPtr<udev> udev, UdevPtr<udev_monitor> monitor)
      : m_udev(std::move(udev)), m_monitor(std::move(monitor)) {}

  std::vector<HidInterfaceInfo> Enumerate() override {
    std::vector<HidInterfaceInfo> found;
    // A context of its own: libudev objects are not thread-safe, and the
    // monitor's context may be busy on the thread that watches it.
    UdevPtr<udev> context(udev_new());
    if (!context) return found;
    UdevPtr<udev_enumerate> en(udev_enumerate_new(context.get()));
    if (!en || udev_enumerate_add_match_subsystem(en.get(), "hidraw") < 0 ||
        udev_enumerate_scan_devices(en.get()) < 0) {
      return found;
    }
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en.get())) {
      UdevPtr<udev_device> dev(
          udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
      if (dev) found.push_back(Examine(dev.get()));  // gone since the scan: not present
    }
    return found;
  }

  HidHandlePtr Open(const std::string& path, HidOpenMode mode, std::string* error) override {
    // hidraw does not check the descriptor's access mode for its report
    // ioctls; the modes mirror what each handle is for. The query/feature
    // handle both sends and fetches, so it asks for read and write: a node
    // the user may only read fails here, with the rule to fix it, rather
    // than at the first exchange.
    int flags = O_RDWR;
    if (mode == HidOpenMode::kWrite) flags = O_WRONLY;
    if (mode == HidOpenMode::kRead) flags = O_RDONLY;
    const int fd = OpenNode(path, flags);
    if (fd < 0) {
      if (error) *error = DescribeHidrawOpenFailure(path, errno);
      return nullptr;
    }
    return std::make_unique<HidrawHandle>(fd);
  }

  DeviceClaimPtr Claim(const std::string& path, bool* busy) override {
    *busy = false;
    // Read access suffices for flock(); a node that cannot be opened or
    // locked at all is left to the opens and transfers to report.
    const int fd = OpenNode(path, O_RDONLY);
    if (fd < 0) return std::make_unique<DeviceClaim>();
    auto claim = std::make_unique<HidrawClaim>(fd);
    int result;
    do {
      result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno == EWOULDBLOCK) {
      *busy = true;
      return nullptr;
    }
    return claim;
  }

  void SetDeviceChangeListener(DeviceChangeListener listener) override {
    m_listener.Set(std::move(listener));
  }

  int DeviceChangeFd() const override {
    return m_monitor ? udev_monitor_get_fd(m_monitor.get()) : -1;
  }

  void ProcessDeviceChanges() override {
    if (!m_monitor) return;
    // The monitor's socket is non-blocking: drain what is queued, and call
    // the listener once for the whole burst (a hub, or a USB device whose
    // hidraw node follows it) rather than once per event.
    bool changed = false;
    while (UdevPtr<udev_device> dev{udev_monitor_receive_device(m_monitor.get())}) {
      const char* action = udev_device_get_action(dev.get());
      if (action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0)) {
        changed = true;
      }
    }
    if (changed) m_listener.Notify();
  }

 private:
  UdevPtr<udev> m_udev;  // declared first: outlives the monitor
  UdevPtr<udev_monitor> m_monitor;
  DeviceChangeSlot m_listener;
};

}  // namespace

std::unique_ptr<HidBackend> CreateHidrawBackend(std::string* error) {
  UdevPtr<udev> u(udev_new());
  if (!u) {
    if (error) *error = "libudev could not start: " + std::generic_category().message(errno);
    return nullptr;
  }
  // Bound before the first enumeration, so no change between the two is lost.
  // Without a monitor (no netlink, as in some containers) devices are still
  // listed; they are just not re-listed on their own.
  UdevPtr<udev_monitor> monitor(udev_monitor_new_from_netlink(u.get(), "udev"));
  // Any USB device's arrival or removal counts too, as the system's "device
  // nodes changed" does: a device whose hidraw node comes late is rescanned.
  if (monitor &&
      (udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "hidraw", nullptr) < 0 ||
       udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "usb", "usb_device") < 0 ||
       udev_monitor_enable_receiving(monitor.get()) < 0)) {
    monitor.reset();
  }
  return std::make_unique<HidrawBackend>(std::move(u), std::move(monitor));
}

std::string NoDeviceHint() {
  for (const std::string& place : UdevRuleCandidates()) {
    if (FileExists(place)) return "check the cable (the udev rule " + place + " is installed)";
  }
  return "check the cable and install the udev rule 70-tessarin.rules that gives access without "
         "root (with the program, or from packaging/udev to /etc/udev/rules.d; then: udevadm "
         "control --reload && udevadm trigger)";
}

std::unique_ptr<HidBackend> CreatePlatformHidBackend(std::string* error) {
  return CreateHidrawBackend(error);
}

}  // namespace tessarin
