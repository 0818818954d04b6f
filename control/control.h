// Device control: the dispatcher, its request table, the vendor request builders
// and the handlers of the camera settings, raw commands and device list.
#pragma once

#include "../driver/byte_order.h"
#include "../driver/driver.h"
#include "../include/quorvex/quorvex.h"

DRIVER_DISPATCH CamDispatchDeviceControl;

// What a handler gets: the request as the dispatcher read it, the camera's record
// (NULL: a camera the driver does not know, which every request that depends on
// the model refuses), and the argument of its table row (a register number or a
// request code, for handlers that serve several codes). Buffer is the system
// buffer: input first, then output over it; NULL for a buffered request with no
// input and no output.
typedef struct _CAM_CONTROL_CALL {
  PDEVICE_OBJECT DeviceObject;
  PCAM_DEVICE_EXTENSION Extension;
  const CAM_PRODUCT* Product;
  PIRP Irp;
  PUCHAR Buffer;
  ULONG InputLength;
  ULONG OutputLength;
  ULONG Argument;
  PURB* Urb;  // the request's vendor request URB, once CamControlUrb has made it
} CAM_CONTROL_CALL, *PCAM_CONTROL_CALL;

// PASSIVE_LEVEL. The one vendor request URB of the request, made at the handler's
// first call and freed by the dispatcher once the handler has returned; NULL when
// there is no memory for it (the handler then returns STATUS_NO_MEMORY).
PURB CamControlUrb(const CAM_CONTROL_CALL* Call);

// PASSIVE_LEVEL, inside the request gate. Sets Irp->IoStatus.Information itself and
// returns the status; never completes the IRP and never returns STATUS_PENDING.
typedef NTSTATUS CAM_CONTROL_HANDLER(const CAM_CONTROL_CALL* Call);
typedef CAM_CONTROL_HANDLER* PCAM_CONTROL_HANDLER;

// One row of the request table. The dispatcher refuses a request whose buffers are
// shorter than InputNeeded and OutputNeeded with STATUS_BUFFER_TOO_SMALL before the
// handler runs; rows whose requests make length tests of their own say 0 here.
typedef struct _CAM_CONTROL_ENTRY {
  ULONG Code;
  PCAM_CONTROL_HANDLER Handler;
  ULONG InputNeeded;
  ULONG OutputNeeded;
  ULONG Argument;
} CAM_CONTROL_ENTRY;

const CAM_CONTROL_ENTRY* CamFindControlEntry(ULONG Code);

#define CAM_COUNT_OF(array) (sizeof(array) / sizeof((array)[0]))

// The longest data stage a USB control transfer can carry.
#define CAM_MAX_CONTROL_DATA 0xFFFF

// Reports an echo of the system buffer's first bytes only when the caller's output
// buffer holds all of them, so that Information never exceeds the output length.
FORCEINLINE VOID CamReportEcho(const CAM_CONTROL_CALL* Call, ULONG Bytes) {
  Call->Irp->IoStatus.Information = Call->OutputLength >= Bytes ? Bytes : 0;
}

// Register access through request 0xB7 (registers.cpp).
NTSTATUS CamWriteRegister(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR Register, ULONG Value);
NTSTATUS CamReadRegister(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR Register, PULONG Value);
NTSTATUS CamWriteRegisterSequence(PDEVICE_OBJECT DeviceObject, PURB Urb, const CAM_REGISTER_STEP* Steps,
                                  ULONG Count, ULONG Read);

// Requests the dispatcher answers from the device context or with one transfer
// (device_requests.cpp).
CAM_CONTROL_HANDLER CamNoAction;
CAM_CONTROL_HANDLER CamWriteRegisterRequest;
CAM_CONTROL_HANDLER CamReadRegisterRequest;
CAM_CONTROL_HANDLER CamSetReg62;
CAM_CONTROL_HANDLER CamGetLastStatus;
CAM_CONTROL_HANDLER CamGetIdentity;
CAM_CONTROL_HANDLER CamGetModel;
CAM_CONTROL_HANDLER CamAbortImagePipe;

// Single-shot frame reads and streaming (transfer_requests.cpp).
CAM_CONTROL_HANDLER CamReadFrameRequest;
CAM_CONTROL_HANDLER CamReadFrameExRequest;
CAM_CONTROL_HANDLER CamStreamStartRequest;
CAM_CONTROL_HANDLER CamStreamStopRequest;
CAM_CONTROL_HANDLER CamStreamGetFrameRequest;
CAM_CONTROL_HANDLER CamStreamReleaseFrameRequest;
CAM_CONTROL_HANDLER CamStreamReadFrameRequest;

// Exposure, gain and offset (exposure_gain.cpp).
CAM_CONTROL_HANDLER CamSetExposure;
CAM_CONTROL_HANDLER CamGetExposure;
CAM_CONTROL_HANDLER CamSetGlobalGain;
CAM_CONTROL_HANDLER CamGetGlobalGain;
CAM_CONTROL_HANDLER CamSetChannelGain;
CAM_CONTROL_HANDLER CamGetChannelGain;
CAM_CONTROL_HANDLER CamSetOffset;
CAM_CONTROL_HANDLER CamSetOffsetPair;
CAM_CONTROL_HANDLER CamGetOffset;

// Window, readout and capture modes (window_modes.cpp).
CAM_CONTROL_HANDLER CamSetResolution;
CAM_CONTROL_HANDLER CamGetResolution;
CAM_CONTROL_HANDLER CamSetReg05;
CAM_CONTROL_HANDLER CamSetReg20Bits;
CAM_CONTROL_HANDLER CamSetCaptureMode;
CAM_CONTROL_HANDLER CamSensorCommand;

// Raw camera commands (raw_commands.cpp) and the device list (device_list.cpp).
CAM_CONTROL_HANDLER CamSendFilledRequest;
CAM_CONTROL_HANDLER CamWriteB9;
CAM_CONTROL_HANDLER CamWriteBC;
CAM_CONTROL_HANDLER CamWriteBD;
CAM_CONTROL_HANDLER CamWriteBlock;
CAM_CONTROL_HANDLER CamReadBlock;
CAM_CONTROL_HANDLER CamReadBB;
CAM_CONTROL_HANDLER CamReadC0;
CAM_CONTROL_HANDLER CamReadRegisterEx;
CAM_CONTROL_HANDLER CamGetDeviceList;

// The model code of a camera's record; 0 for none.
FORCEINLINE ULONG CamModelCode(const CAM_PRODUCT* Product) {
  return Product != NULL ? Product->Model->ModelCode : 0;
}
