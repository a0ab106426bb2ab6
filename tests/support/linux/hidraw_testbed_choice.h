// The testbed the hidraw tests run on, chosen when their binary is built:
// umockdev's emulated nodes (hidraw_tests, on any build machine), or real
// hidraw nodes made through /dev/uhid (hidraw_kernel_tests, run in the test
// guest by scripts/guest-test.sh). Both give Testbed with Add(), Unplug() and
// Uevent(); Testbed::kRealKernel tells them apart where the kernel behaves
// differently from the emulation.
#pragma once

#if TESSARIN_TESTBED_UHID
#include "support/linux/uhid_testbed.h"
#define SKIP_UNLESS_TESTBED() SKIP_UNLESS_UHID()
namespace tessarin::testing {
using Testbed = UhidTestbed;
}
#else
#include "support/linux/hidraw_testbed.h"
#define SKIP_UNLESS_TESTBED() SKIP_UNLESS_UMOCKDEV()
namespace tessarin::testing {
using Testbed = HidrawTestbed;
}
#endif
