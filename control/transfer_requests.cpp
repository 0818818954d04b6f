// Entry points of the single-shot frame reads and the streaming requests. The
// streaming machinery is not part of this driver yet: each streaming request makes
// the record tests that callers can rely on, then is refused as a request the
// device does not serve.
#include "../capture/capture.h"
#include "control.h"

#define CAM_STREAM_START_MIN_LENGTH sizeof(CAM_STREAM_START_PARAMS)

// The products that send their frame without a trigger take one plain transfer;
// the others, and a camera the driver knows no record of, the triggered read.
NTSTATUS CamReadFrameRequest(const CAM_CONTROL_CALL* Call) {
  if (Call->Product != NULL && Call->Product->FrameRead == CAM_FRAME_PLAIN) {
    return CamBulkTransfer(Call->DeviceObject, Call->Irp);
  }
  return CamReadFrameTriggered(Call->DeviceObject, Call->Irp);
}

NTSTATUS CamReadFrameExRequest(const CAM_CONTROL_CALL* Call) {
  return CamReadFrameUntriggered(Call->DeviceObject, Call->Irp);
}

NTSTATUS CamStreamStartRequest(const CAM_CONTROL_CALL* Call) {
  if (Call->InputLength < CAM_STREAM_START_MIN_LENGTH) return STATUS_INVALID_PARAMETER;
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS CamStreamStopRequest(const CAM_CONTROL_CALL* Call) {
  UNREFERENCED_PARAMETER(Call);
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS CamStreamGetFrameRequest(const CAM_CONTROL_CALL* Call) {
  if (Call->OutputLength < CAM_STREAM_FRAME_INFO_LENGTH) return STATUS_INVALID_PARAMETER;
  return STATUS_INVALID_DEVICE_REQUEST;
}

// The record must be there, at least 32 bytes long, and say so in its first word.
NTSTATUS CamStreamReleaseFrameRequest(const CAM_CONTROL_CALL* Call) {
  if (Call->Buffer == NULL || Call->InputLength < CAM_STREAM_FRAME_RELEASE_LENGTH ||
      CamGetU32(Call->Buffer + FIELD_OFFSET(CAM_STREAM_FRAME_RELEASE, Length)) !=
          CAM_STREAM_FRAME_RELEASE_LENGTH) {
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS CamStreamReadFrameRequest(const CAM_CONTROL_CALL* Call) {
  UNREFERENCED_PARAMETER(Call);
  return STATUS_INVALID_DEVICE_REQUEST;
}
