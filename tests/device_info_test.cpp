#include "hid/device_info.h"

#include <gtest/gtest.h>

#include "hid/hid_device_manager.h"
#include "sim/sim_backend.h"

namespace tessarin {
namespace {

struct ClassCase {
  std::uint32_t vendorId;
  std::uint32_t productId;
  const char* line;
  int notOwnDevice;
  int foreignFirmware;
};

TEST(ClassifyDevice, FirstMatchingRowApplies) {
  const ClassCase cases[] = {
      {0x0495, 0x1041, "   Kestrova device", 0, 0},
      {0x0495, 0x1042, "   Kestrova device", 0, 0},
      {0x0495, 0x1043, "   Not Kestrova Firware", 0, 1},
      {0x0495, 0x110B, "   Not Kestrova Firware", 0, 1},
      {0x0495, 0x1101, "   Not Kestrova Firware", 0, 1},
      {0x0495, 0x1049, "   Not Kestrova Firware", 0, 1},
      {0x0495, 0x1056, "   Not Kestrova Firware", 0, 1},
      {0x0495, 0x8000, "   Kestrova device", 0, 0},
      {0x0495, 0x8123, "   Kestrova device", 0, 0},
      {0x0495, 0x8FFF, "   Kestrova device", 0, 0},
      {0x0495, 0x9000, "  Not Kestrova Device", 1, 0},
      {0x0495, 0x7FFF, "  Not Kestrova Device", 1, 0},
      {0x0495, 0x1040, "  Not Kestrova Device", 1, 0},
      {0x1234, 0x1041, "  Not Kestrova Device", 1, 0},
      {0x1234, 0x8123, "  Not Kestrova Device", 1, 0},
      {0x1234, 0x110B, "  Not Kestrova Device", 1, 0},
  };
  for (const ClassCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.vendorId << ":" << c.productId);
    const DeviceClass result = ClassifyDevice(c.vendorId, c.productId);
    EXPECT_EQ(result.m_line, c.line);
    EXPECT_EQ(result.m_notOwnDevice, c.notOwnDevice);
    EXPECT_EQ(result.m_deviceForeignFirmware, c.foreignFirmware);
  }
}

struct FieldCase {
  std::vector<std::uint8_t> bytes4to11;  // EEPROM addresses 4..11
  const char* version;
  const char* cur;
};

TEST(DeviceFields, VersionAndCurTexts) {
  const FieldCase cases[] = {
      {{8, 3, 0, 0, 0, 0, 0x34, 0x12}, "3.8", "4660"},
      {{0, 0, 0, 0, 0, 0, 0, 0}, "", ""},
      {{0, 1, 0, 0, 0, 0, 1, 0}, "1.0", "1"},
      {{255, 255, 0, 0, 0, 0, 255, 255}, "255.255", "65535"},
      {{5, 0, 0, 0, 0, 0, 0, 1}, "0.5", "256"},
  };
  for (const FieldCase& c : cases) {
    SimBackend sim;
    HidDeviceManager hid(sim);
    sim.AddDevice(SimDeviceConfig{});
    sim.Device("sim:0")->SetEeprom(4, c.bytes4to11);
    hid.Open(hid.Scan());
    EXPECT_EQ(ReadDeviceVersion(hid), c.version);
    EXPECT_EQ(ReadDeviceCur(hid), c.cur);
  }
}

TEST(DeviceFields, FailedReadGivesNoEepromAndAnEmptyCur) {
  SimBackend sim;
  HidDeviceManager hid(sim);
  EXPECT_EQ(ReadDeviceVersion(hid), std::nullopt);  // nothing open (shown as "No EEPROM")
  EXPECT_EQ(ReadDeviceCur(hid), "");
  sim.AddDevice(SimDeviceConfig{});
  hid.Open(hid.Scan());
  sim.Device("sim:0")->SetEeprom(4, {8, 3, 0, 0, 0, 0, 0x34, 0x12});
  sim.Device("sim:0")->Vanish();
  EXPECT_EQ(ReadDeviceVersion(hid), std::nullopt);
  EXPECT_EQ(ReadDeviceCur(hid), "");
}

}  // namespace
}  // namespace tessarin
