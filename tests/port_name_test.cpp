// The short port names an operator reads on the station's display.
#include "station/port_name.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tessarin {
namespace {

TEST(PortDisplayName, ShortensUsbLocationPathsAndKeepsEverythingElse) {
  const struct {
    const char* port;
    const char* shown;
  } cases[] = {
      // Windows location paths of USB ports.
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)", "1400-2"},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)", "1400-2.3"},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)#USB(14)", "1400-2.3.14"},
      {"PCIROOT(0)#PCI(1C04)#PCI(0000)#USBROOT(0)#USB(1)", "1C04.0000-1"},
      {"PCIROOT(1)#PCI(0801)#USBROOT(0)#USB(4)", "1:0801-4"},
      {"PCIROOT(12)#PCI(0801)#USBROOT(0)#USB(4)", "12:0801-4"},
      // An interface of a composite device is on its device's port.
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USBMI(1)", "1400-2"},
      // Keys of other shapes are their own names.
      {"1-2.3", "1-2.3"},
      {"port-1", "port-1"},
      {"usb-0", "usb-0"},
      {"", ""},
      {"ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS01)",
       "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS01)"},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)", "PCIROOT(0)#PCI(1400)#USBROOT(0)"},
      {"PCIROOT(0)#USBROOT(0)#USB(2)", "PCIROOT(0)#USBROOT(0)#USB(2)"},
      {"PCIROOT(0)#PCI(14G0)#USBROOT(0)#USB(2)", "PCIROOT(0)#PCI(14G0)#USBROOT(0)#USB(2)"},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(x)", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(x)"},
      {"PCIROOT(0)#PCI(1400)#USBROOT(1)#USB(2)", "PCIROOT(0)#PCI(1400)#USBROOT(1)#USB(2)"},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#"},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USBMI(0)#USB(3)",
       "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USBMI(0)#USB(3)"},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB((2))", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB((2))"},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)x", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)x"},
      {"\\\\?\\hid#vid_0495&pid_8041#7&1&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
       "\\\\?\\hid#vid_0495&pid_8041#7&1&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PortDisplayName(c.port), c.shown) << c.port;
  }
}

// Ports that differ have names that differ: an operator never mistakes one
// slot for another.
TEST(PortDisplayName, DistinctPortsGetDistinctNames) {
  const char* ports[] = {
      "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(2)",
      "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(12)",
      "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(2)#USB(1)",
      "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)",
      "PCIROOT(0)#PCI(1401)#USBROOT(0)#USB(1)",
      "PCIROOT(1)#PCI(1400)#USBROOT(0)#USB(1)",
      "PCIROOT(0)#PCI(14)#PCI(00)#USBROOT(0)#USB(1)",
      "PCIROOT(0)#PCI(1400)#PCI(0000)#USBROOT(0)#USB(1)",
      "PCIROOT(0)#PCI(0000)#USBROOT(0)#USB(1)#USB(1)",
  };
  std::set<std::string> names;
  for (const char* port : ports) {
    EXPECT_TRUE(names.insert(PortDisplayName(port)).second) << port << " shares its name";
  }
}

}  // namespace
}  // namespace tessarin
