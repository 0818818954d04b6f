// The test bus: a root-enumerated bus driver whose children are USB cameras, each
// answering the requests a USB hub and the camera's firmware would. Test
// equipment for running the real driver under another kernel; not shipped.
//
// Locking: the bus lock guards the child table and the enumeration counters; each
// camera's lock guards its registers, trace, pipes and image source. The bus lock
// is never taken with a camera lock held. IRPs are completed with no lock held.
#pragma once

#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntifs.h>
#include <usb.h>
#include <usbioctl.h>

#include <sim/camera_core.h>

#include "../bus_control.h"

enum qvx_kind { QVX_CONTROL_DEVICE = 1, QVX_BUS_DEVICE, QVX_CAMERA_DEVICE };

// A pipe of the camera: its endpoint's address; the rest of the endpoint is read
// from the configuration descriptor when the configuration is selected.
struct qvx_pipe {
  UCHAR address;
  LIST_ENTRY queue;  // pending transfer IRPs, by Tail.Overlay.ListEntry
};

#define QVX_PIPES ((int)sim::camera_core::kEndpointCount)

struct qvx_bus;

// A camera slot of the bus. It outlives the camera's device object, so that a
// test can read what the camera saw up to and including its removal; a new plug
// in the slot starts it afresh.
struct qvx_camera {
  qvx_bus* bus;
  PDEVICE_OBJECT pdo;  // set by a plug, cleared (under the bus lock) at deletion
  ULONG slot;
  ULONG serial;  // makes each plug a new device instance
  USHORT vendor_id;
  USHORT product_id;
  LONG plugged;                         // cleared by an unplug, under the bus lock
  LONG started;                         // from start to removal
  KSPIN_LOCK lock;                      // guards what follows
  sim::camera_core::Firmware firmware;  // registers, frames released and not yet started
  ULONG stalls;                         // control transfers still to stall
  qvx_pipe pipes[QVX_PIPES];
  ULONG pending;
  ULONG frame_size;                      // of every frame from its start on
  sim::pattern::Geometry window;         // what the frames picture
  sim::camera_core::FrameCursor cursor;  // the frame being sent
  ULONG frames_sent;
  ULONG trace_count;
  QVXBUS_TRACE_ENTRY trace[QVXBUS_TRACE_ENTRIES];
};

// Device extension of a camera's device object.
struct qvx_child {
  ULONG kind;
  qvx_camera* camera;
};

// Device extension of the bus itself (its function device object).
struct qvx_bus {
  ULONG kind;
  PDEVICE_OBJECT fdo;
  PDEVICE_OBJECT pdo;
  PDEVICE_OBJECT lower;
  KSPIN_LOCK lock;  // guards pdo and plugged of every camera, and what follows
  ULONG next_serial;
  LONG changes;        // plugs and unplugs so far
  LONG reported;       // value of changes at the last enumeration
  LONG quiet;          // the last enumeration found nothing new
  LONG invalidations;  // enumerations asked for
  LONG enumerations;   // enumerations answered
  PIRP settle;         // the waiting settle request, if any
  LONG settle_target;
  LIST_ENTRY answered;  // control transfers answered, for the worker to complete
  KEVENT work;          // wakes the worker
  LONG stopping;
  PVOID worker;  // its thread object
  qvx_camera cameras[QVXBUS_MAX_CAMERAS];
};

struct qvx_control {
  ULONG kind;
};

extern qvx_bus* qvx_the_bus;

static inline ULONG qvx_kind_of(PDEVICE_OBJECT device) { return *(ULONG*)device->DeviceExtension; }

NTSTATUS qvx_complete(PIRP irp, NTSTATUS status, ULONG_PTR information);

// control.cpp
NTSTATUS qvx_control_ioctl(PIRP irp);
void qvx_settle_answered(qvx_bus* bus);

// bus_pnp.cpp
NTSTATUS qvx_bus_pnp(qvx_bus* bus, PIRP irp);
NTSTATUS qvx_camera_pnp(qvx_camera* camera, PIRP irp);
NTSTATUS qvx_plug(qvx_bus* bus, USHORT vendor, USHORT product, ULONG* slot);
NTSTATUS qvx_unplug(qvx_bus* bus, ULONG slot);
qvx_camera* qvx_camera_at(qvx_bus* bus, ULONG slot);  // NULL for a slot out of range

// camera.cpp
void qvx_camera_init(qvx_camera* camera, USHORT vendor, USHORT product);
void qvx_trace(qvx_camera* camera, const QVXBUS_TRACE_ENTRY* entry);
void qvx_trace_pnp(qvx_camera* camera, UCHAR minor);
ULONG qvx_device_descriptor(qvx_camera* camera, UCHAR* out);
ULONG qvx_configuration_descriptor(UCHAR* out, ULONG capacity);
USBD_STATUS qvx_vendor_request(qvx_camera* camera, const UCHAR setup[8], UCHAR* data, ULONG* length);

// urb.cpp
NTSTATUS qvx_camera_internal_ioctl(qvx_camera* camera, PIRP irp);

// bulk.cpp
NTSTATUS qvx_bulk_submit(qvx_camera* camera, PIRP irp, PURB urb);
void qvx_abort_pipe(qvx_camera* camera, qvx_pipe* pipe, NTSTATUS status, USBD_STATUS usbd);
void qvx_abort_all(qvx_camera* camera, NTSTATUS status, USBD_STATUS usbd);
NTSTATUS qvx_complete_later(qvx_bus* bus, PIRP irp, NTSTATUS status);
NTSTATUS qvx_worker_start(qvx_bus* bus);
