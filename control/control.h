// Device control: the dispatcher, its request table, the vendor request builders
// and the handlers of the camera settings, raw commands and device list.
#pragma once

#include "../driver/byte_order.h"
#include "../driver/driver.h"
#include "../include/quorvex/quorvex.h"

DRIVER_DISPATCH CamDispatchDeviceControl;

// What a handler gets: the request as the dispatcher read it, and the argument of
// its table row (a register number or a request code, for handlers that serve
// several codes). Buffer is the system buffer: input first, then output over it;
// NULL for a buffered request with no input and no output.
typedef struct _CAM_CONTROL_CALL {
  PDEVICE_OBJECT DeviceObject;
  PCAM_DEVICE_EXTENSION Extension;
  PIRP Irp;
  PUCHAR Buffer;
  ULONG InputLength;
  ULONG OutputLength;
  ULONG Argument;
} CAM_CONTROL_CALL, *PCAM_CONTROL_CALL;

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

// Vendor request codes the camera answers; 0xB7 reaches its registers.
#define CAM_REQUEST_TRIGGER 0xB3
#define CAM_REQUEST_REGISTER 0xB7
#define CAM_REQUEST_B9 0xB9
#define CAM_REQUEST_BLOCK 0xBA
#define CAM_REQUEST_BB 0xBB
#define CAM_REQUEST_BC 0xBC
#define CAM_REQUEST_BD 0xBD
#define CAM_REQUEST_C0 0xC0

// The one product of model 0x1801 with a monochrome sensor: no channel gains, 8 bits
// per pixel.
#define CAM_PRODUCT_1801_MONO 0x100D

// The longest data stage a USB control transfer can carry.
#define CAM_MAX_CONTROL_DATA 0xFFFF

// Reports an echo of the system buffer's first bytes only when the caller's output
// buffer holds all of them, so that Information never exceeds the output length.
FORCEINLINE VOID CamReportEcho(const CAM_CONTROL_CALL* Call, ULONG Bytes) {
  Call->Irp->IoStatus.Information = Call->OutputLength >= Bytes ? Bytes : 0;
}

// Vendor requests (vendor_request.cpp).
typedef struct _CAM_REGISTER_VALUE {
  UCHAR Register;
  USHORT Value;
} CAM_REGISTER_VALUE;

PURB CamAllocateVendorUrb(VOID);
VOID CamBuildVendorRequest(PURB Urb, UCHAR Request, BOOLEAN In, USHORT Value, PVOID Buffer, ULONG Length);
VOID CamBuildRegisterWrite(PURB Urb, UCHAR Register, PVOID Data);
VOID CamBuildRegisterRead(PURB Urb, UCHAR Register, PVOID Data);
VOID CamBuildB9Write(PURB Urb, UCHAR Value, PVOID Data);
VOID CamBuildBCWrite(PURB Urb, UCHAR Value, PVOID Data);
NTSTATUS CamWriteRegister(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR Register, ULONG Value);
NTSTATUS CamReadRegister(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR Register, PULONG Value);
NTSTATUS CamWriteRegisterSequence(PDEVICE_OBJECT DeviceObject, PURB Urb, const CAM_REGISTER_VALUE* Writes,
                                  ULONG Count);

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

// Whether the model code is one of the three the settings know.
FORCEINLINE BOOLEAN CamKnownModel(ULONG ModelCode) {
  return ModelCode == CAM_MODEL_8431 || ModelCode == CAM_MODEL_1801 || ModelCode == CAM_MODEL_1621;
}
