// The name an operator reads for a port on the station's display.
#pragma once

#include <string>

namespace tessarin {

/// The short name of a slot's port (its key, HidInterfaceInfo::m_port): a
/// Windows location path becomes its host controller's PCI location and the
/// chain of hub ports, the way Linux names a USB port ("1-2.3"):
/// "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)" is "1400-2.3", a
/// controller behind a PCI bridge "PCIROOT(0)#PCI(1C04)#PCI(0000)#USBROOT(0)#USB(1)"
/// is "1C04.0000-1", one under another PCI root "PCIROOT(1)#..." starts with
/// "1:". A trailing USBMI(N) (an interface of a composite device, not a port of
/// its own) is left out. Every other key (a Linux port path, a simulated
/// "port-1", a location path of another shape, a device path) is its own name.
/// The same port always has the same name, and two ports never share one.
std::string PortDisplayName(const std::string& port);

}  // namespace tessarin
