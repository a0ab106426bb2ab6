#include "platform/linux/uhid_device.h"

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

namespace tessarin {
namespace {

constexpr const char* kUhidNode = "/dev/uhid";
constexpr std::uint16_t kBusUsb = 0x03;

std::string OsReason(int err) { return std::generic_category().message(err); }

std::string DescribeUhidOpenFailure(int err) {
  std::string text = std::string("open ") + kUhidNode + ": " + OsReason(err);
  if (err == ENOENT || err == ENODEV || err == ENXIO) {
    text += ". The kernel's uhid module is not loaded: run `modprobe uhid` as root";
  } else if (err == EACCES || err == EPERM) {
    text +=
        ". Creating HID devices needs root (run it with sudo) or a udev rule that gives "
        "your group write access to /dev/uhid (see the README)";
  }
  return text;
}

bool WriteEvent(int fd, const uhid_event& event, std::size_t length, std::string* error,
                const char* what) {
  ssize_t n;
  do {
    n = ::write(fd, &event, length);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(length)) return true;
  if (error) {
    *error = std::string("write ") + what + " to " + kUhidNode + ": " +
             (n < 0 ? OsReason(errno) : std::string("short write"));
  }
  return false;
}

HidReportType TypeOf(std::uint8_t rtype) {
  switch (rtype) {
    case UHID_FEATURE_REPORT:
      return HidReportType::kFeature;
    case UHID_OUTPUT_REPORT:
      return HidReportType::kOutput;
    default:
      return HidReportType::kInput;
  }
}

// The HID_UNIQ line of a hid device's uevent file.
bool HasUniq(const std::filesystem::path& uevent, const std::string& uniq) {
  std::ifstream in(uevent);
  std::string line;
  const std::string wanted = "HID_UNIQ=" + uniq;
  while (std::getline(in, line)) {
    if (line == wanted) return true;
  }
  return false;
}

}  // namespace

UhidDevice::UhidDevice(int fd, std::string uniq) : m_fd(fd), m_uniq(std::move(uniq)) {}

std::unique_ptr<UhidDevice> UhidDevice::Create(const UhidDeviceSpec& spec, std::string* error) {
  auto fail = [error](std::string text) {
    if (error) *error = std::move(text);
    return nullptr;
  };
  if (spec.m_descriptor.empty() || spec.m_descriptor.size() > HID_MAX_DESCRIPTOR_SIZE) {
    return fail("create a uhid device: the report descriptor must hold 1 to " +
                std::to_string(HID_MAX_DESCRIPTOR_SIZE) + " bytes");
  }
  if (spec.m_uniq.empty()) return fail("create a uhid device: no unique id given");

  int fd;
  do {
    fd = ::open(kUhidNode, O_RDWR | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(DescribeUhidOpenFailure(errno));
  std::unique_ptr<UhidDevice> device(new UhidDevice(fd, spec.m_uniq));

  uhid_event event{};
  event.type = UHID_CREATE2;
  uhid_create2_req& req = event.u.create2;
  auto copy = [](auto& field, const std::string& text) {
    const std::size_t n = std::min(text.size(), sizeof field - 1);
    std::memcpy(field, text.data(), n);
  };
  copy(req.name, spec.m_name);
  copy(req.phys, "tessarin-uhid");
  copy(req.uniq, spec.m_uniq);
  req.rd_size = static_cast<__u16>(spec.m_descriptor.size());
  req.bus = kBusUsb;
  req.vendor = spec.m_vendorId;
  req.product = spec.m_productId;
  std::memcpy(req.rd_data, spec.m_descriptor.data(), spec.m_descriptor.size());
  if (!WriteEvent(fd, event, sizeof event, error, "UHID_CREATE2")) {
    ::close(fd);
    device->m_fd = -1;
    return nullptr;
  }
  return device;
}

UhidDevice::~UhidDevice() { Destroy(); }

void UhidDevice::Destroy() {
  if (m_fd < 0) return;
  uhid_event event{};
  event.type = UHID_DESTROY;
  // Closing /dev/uhid destroys the device as well; the explicit event makes
  // the removal happen now, before close() returns.
  WriteEvent(m_fd, event, sizeof event.type, nullptr, "UHID_DESTROY");
  ::close(m_fd);
  m_fd = -1;
  m_hidrawSysPath.clear();
}

std::string UhidDevice::WaitForHidrawNode(std::chrono::milliseconds timeout) {
  namespace fs = std::filesystem;
  // The kernel adds the device on a worker after UHID_CREATE2; the node is
  // found by the device's unique id among the hidraw class devices.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/sys/class/hidraw", ec)) {
      if (!HasUniq(entry.path() / "device" / "uevent", m_uniq)) continue;
      const std::string node = "/dev/" + entry.path().filename().string();
      if (fs::exists(node, ec)) {
        m_hidrawSysPath = entry.path().string();
        return node;
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) return "";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool UhidDevice::Reply(const void* event, std::size_t length, std::string* error) {
  return WriteEvent(m_fd, *static_cast<const uhid_event*>(event), length, error, "a reply");
}

bool UhidDevice::Serve(UhidResponder& responder, std::chrono::milliseconds timeout,
                       std::string* error) {
  // Output reports come with no reply for the writer to wait on, and the
  // kernel keeps only 32 events for a uhid device, dropping what comes
  // beyond ("Output queue is full"): everything queued is answered, one
  // non-blocking read() per event, before waiting again.
  constexpr int kMostEvents = 4096;  // then the caller gets its turn
  pollfd p{m_fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) < 0) {
    if (errno == EINTR) return true;
    if (error) *error = std::string("poll ") + kUhidNode + ": " + OsReason(errno);
    return false;
  }
  for (int served = 0; served < kMostEvents; ++served) {
    const int got = ServeEvent(responder, error);
    if (got < 0) return false;
    if (got == 0 || responder.Gone()) return true;
  }
  return true;
}

int UhidDevice::ServeEvent(UhidResponder& responder, std::string* error) {
  uhid_event event;
  ssize_t n;
  do {
    n = ::read(m_fd, &event, sizeof event);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (error) *error = std::string("read ") + kUhidNode + ": " + OsReason(errno);
    return -1;
  }
  if (n < static_cast<ssize_t>(sizeof event.type)) return 1;

  switch (event.type) {
    case UHID_OUTPUT: {
      const uhid_output_req& out = event.u.output;
      const std::size_t size = std::min<std::size_t>(out.size, UHID_DATA_MAX);
      responder.OnSend(TypeOf(out.rtype), out.data, size);
      return 1;
    }
    case UHID_GET_REPORT: {
      const uhid_get_report_req req = event.u.get_report;
      uhid_event reply{};
      reply.type = UHID_GET_REPORT_REPLY;
      uhid_get_report_reply_req& r = reply.u.get_report_reply;
      r.id = req.id;
      r.data[0] = req.rnum;
      const std::size_t size =
          req.rtype == UHID_OUTPUT_REPORT
              ? 0
              : std::min<std::size_t>(responder.OnFetch(TypeOf(req.rtype), r.data), UHID_DATA_MAX);
      r.size = static_cast<__u16>(size);
      r.err = size == 0 ? EIO : 0;
      return Reply(&reply, sizeof reply, error) ? 1 : -1;
    }
    case UHID_SET_REPORT: {
      const uhid_set_report_req& req = event.u.set_report;
      const std::size_t size = std::min<std::size_t>(req.size, UHID_DATA_MAX);
      const bool ok =
          req.rtype != UHID_INPUT_REPORT && responder.OnSend(TypeOf(req.rtype), req.data, size);
      uhid_event reply{};
      reply.type = UHID_SET_REPORT_REPLY;
      reply.u.set_report_reply.id = req.id;
      reply.u.set_report_reply.err = ok ? 0 : EIO;
      return Reply(&reply, sizeof reply, error) ? 1 : -1;
    }
    case UHID_CLOSE:
      responder.OnClosed();
      return 1;
    default:  // UHID_START, UHID_STOP, UHID_OPEN
      return 1;
  }
}

}  // namespace tessarin
