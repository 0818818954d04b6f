/* The test bus's control interface: what a test program asks of the bus that plays
 * the cameras, and the records it gets back. Shared by the bus driver and the test
 * program, so both read one definition. All fields little-endian.
 */
#ifndef QUORVEX_BUS_CONTROL_H
#define QUORVEX_BUS_CONTROL_H

#include <stdint.h>

/* Opened by a test program as \\.\QuorvexTestBus. */
#define QVXBUS_DEVICE_NAME L"\\Device\\QuorvexTestBus"
#define QVXBUS_LINK_NAME L"\\DosDevices\\QuorvexTestBus"
#define QVXBUS_USER_NAME L"\\\\.\\QuorvexTestBus"
#define QVXBUS_HARDWARE_ID L"root\\QuorvexTestBus"
/* Set once the bus has started, so a test can wait for its installation. */
#define QVXBUS_STARTED_EVENT L"\\BaseNamedObjects\\QuorvexTestBusStarted"
#define QVXBUS_STARTED_EVENT_USER L"Global\\QuorvexTestBusStarted"

#define QVXBUS_MAX_CAMERAS 8u
#define QVXBUS_TRACE_ENTRIES 256u
#define QVXBUS_TRACE_DATA 16u

#define QVXBUS_CTL(function) ((uint32_t)((0x22u << 16) | ((function) << 2)))

/* In QVXBUS_PLUG, out uint32_t slot. Creates a camera of that product and waits
 * until Plug and Play has dealt with it (see QVXBUS_SETTLE). */
#define IOCTL_QVXBUS_PLUG QVXBUS_CTL(0x900u)
/* In uint32_t slot. Takes the camera away as an unplug would, then settles. */
#define IOCTL_QVXBUS_UNPLUG QVXBUS_CTL(0x901u)
/* No input. Returns once Plug and Play has asked the bus for its children after
 * every change made before the call, so whatever a change set off is done. */
#define IOCTL_QVXBUS_SETTLE QVXBUS_CTL(0x902u)
/* In QVXBUS_TRACE_QUERY, out QVXBUS_TRACE_ENTRY[]: the camera's trace from entry
 * First on, as many as fit. */
#define IOCTL_QVXBUS_TRACE QVXBUS_CTL(0x903u)
/* In QVXBUS_STALL: the next Count control transfers of the camera stall. */
#define IOCTL_QVXBUS_STALL QVXBUS_CTL(0x904u)
/* In QVXBUS_FRAMES: queue Count frames of the camera's picture on its image pipe,
 * and make FrameSize the size of every frame from now on, and Width x Height at
 * BytesPerPixel the window they picture, those a trigger (vendor request 0xB3)
 * releases among them. Count 0 only sets size and window. */
#define IOCTL_QVXBUS_QUEUE_FRAMES QVXBUS_CTL(0x905u)
/* In uint32_t slot, out QVXBUS_STATE. */
#define IOCTL_QVXBUS_STATE QVXBUS_CTL(0x906u)

typedef struct _QVXBUS_PLUG {
  uint16_t VendorId;
  uint16_t ProductId;
} QVXBUS_PLUG;

typedef struct _QVXBUS_TRACE_QUERY {
  uint32_t Slot;
  uint32_t First;
} QVXBUS_TRACE_QUERY;

typedef struct _QVXBUS_STALL {
  uint32_t Slot;
  uint32_t Count;
} QVXBUS_STALL;

typedef struct _QVXBUS_FRAMES {
  uint32_t Slot;
  uint32_t Count;
  uint32_t FrameSize;
  uint32_t Width;
  uint32_t Height;
  uint32_t BytesPerPixel;
} QVXBUS_FRAMES;

/* What a trace entry records. */
#define QVXBUS_EVENT_PNP 1u     /* Plug and Play request; Minor is its minor code */
#define QVXBUS_EVENT_CONTROL 2u /* control transfer; Setup is its setup packet */
#define QVXBUS_EVENT_BULK 3u    /* bulk or interrupt transfer on Endpoint, completed */
#define QVXBUS_EVENT_ABORT 4u   /* pipe abort on Endpoint */
#define QVXBUS_EVENT_RESET 5u   /* pipe reset on Endpoint */
#define QVXBUS_EVENT_OTHER 6u   /* any other URB; Minor is its function */
#define QVXBUS_EVENT_SUBMIT 7u  /* bulk or interrupt transfer on Endpoint, handed to the bus */

typedef struct _QVXBUS_TRACE_ENTRY {
  uint32_t Event;
  uint32_t Minor;
  uint8_t Setup[8];
  uint32_t Endpoint;
  uint32_t Length;                 /* bytes asked for */
  uint32_t Moved;                  /* bytes moved */
  uint32_t UsbdStatus;             /* URB status the bus gave */
  uint32_t IrpStatus;              /* IRP status the bus gave */
  uint8_t Data[QVXBUS_TRACE_DATA]; /* first bytes of the data stage */
} QVXBUS_TRACE_ENTRY;

typedef struct _QVXBUS_STATE {
  uint32_t Plugged; /* the camera is on the bus */
  uint32_t Exists;  /* its device object has not been deleted */
  uint32_t Started; /* started and not removed since */
  uint32_t TraceCount;
  uint32_t PendingTransfers;
  uint32_t FramesSent;
} QVXBUS_STATE;

#endif /* QUORVEX_BUS_CONTROL_H */
