// The one header through which driver code reaches the kernel and the USB stack:
// the DDK on Windows, the simulated platform on the host.
#pragma once

#if defined(_WIN32)
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>
extern "C" {
#include <usbdlib.h>
}
#else
#include <sim/ntddk.h>
#include <sim/usb.h>
#include <sim/usbdlib.h>
#endif
