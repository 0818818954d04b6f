// The one header through which driver code reaches the kernel and the USB stack:
// the DDK on Windows, the simulated platform on the host.
#pragma once

#if defined(_WIN32)
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// Without it the headers turn ExAllocatePoolWithTag into an untagged allocation.
#define POOL_TAGGING 1
// The I/O manager's full set.
#include <ntifs.h>
#include <usb.h>
#include <usbioctl.h>
extern "C" {
#include <usbdlib.h>
}
// Runs Routine(Context) in a frame that catches a raised exception and returns
// its status (STATUS_SUCCESS when nothing was raised): windows/guarded_call.cpp.
typedef VOID NTAPI CAM_GUARDED_ROUTINE(PVOID Context);
extern "C" NTSTATUS CamCallGuarded(CAM_GUARDED_ROUTINE* Routine, PVOID Context);
#else
#include <sim/ntddk.h>
#include <sim/usb.h>
#include <sim/usbdlib.h>
#define CAM_GUARDED_ROUTINE SIM_GUARDED_ROUTINE
#define CamCallGuarded SimCallGuarded
#endif

// Windows 8 and later take it with a mapping's priority; the cross-build's headers
// predate it, and type the priority as the bare enumeration.
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif
// The priority of the driver's system views of caller buffers: never executable.
#define CAM_VIEW_PRIORITY ((MM_PAGE_PRIORITY)(NormalPagePriority | MdlMappingNoExecute))
