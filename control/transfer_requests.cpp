// Entry points of the single-shot frame reads and the streaming requests: the
// record tests each streaming request makes before its handler runs.
#include "../capture/capture.h"
#include "../stream/stream.h"
#include "control.h"

#define CAM_STREAM_START_MIN_LENGTH sizeof(CAM_STREAM_START_PARAMS)

// The products that send their frame without a trigger take one plain transfer;
// the others, and a camera the driver knows no record of, the triggered read.
// A frame read while a stream has the image pipe would take part of the stream's
// bytes: it is refused.
NTSTATUS CamReadFrameRequest(const CAM_CONTROL_CALL* Call) {
  if (!CamShareImagePipe(Call->Extension)) return STATUS_DEVICE_BUSY;
  NTSTATUS status;
  if (Call->Product != NULL && Call->Product->FrameRead == CAM_FRAME_PLAIN) {
    status = CamBulkTransfer(Call->DeviceObject, Call->Irp);
  } else {
    status = CamReadFrameTriggered(Call->DeviceObject, Call->Irp);
  }
  CamUnshareImagePipe(Call->Extension);
  return status;
}

NTSTATUS CamReadFrameExRequest(const CAM_CONTROL_CALL* Call) {
  if (!CamShareImagePipe(Call->Extension)) return STATUS_DEVICE_BUSY;
  NTSTATUS status = CamReadFrameUntriggered(Call->DeviceObject, Call->Irp);
  CamUnshareImagePipe(Call->Extension);
  return status;
}

NTSTATUS CamStreamStartRequest(const CAM_CONTROL_CALL* Call) {
  if (Call->InputLength < CAM_STREAM_START_MIN_LENGTH) return STATUS_INVALID_PARAMETER;
  return CamStartStreaming(Call->DeviceObject, Call->Irp);
}

NTSTATUS CamStreamStopRequest(const CAM_CONTROL_CALL* Call) {
  return CamStopStreamRequest(Call->DeviceObject, Call->Irp);
}

// The record is written only for a frame handed out: its length, where the frame
// lies in the application and its size; every other byte 0.
NTSTATUS CamStreamGetFrameRequest(const CAM_CONTROL_CALL* Call) {
  if (Call->OutputLength < CAM_STREAM_FRAME_INFO_LENGTH) return STATUS_INVALID_PARAMETER;
  UCHAR info[CAM_STREAM_FRAME_INFO_LENGTH];
  RtlZeroMemory(info, sizeof(info));
  NTSTATUS status = CamGetStreamFrame(Call->DeviceObject, Call->Irp, info);
  if (!NT_SUCCESS(status)) return status;
  CamPutU32(info + FIELD_OFFSET(CAM_STREAM_FRAME_INFO, Length), CAM_STREAM_FRAME_INFO_LENGTH);
  RtlCopyMemory(Call->Buffer, info, sizeof(info));
  Call->Irp->IoStatus.Information = CAM_STREAM_FRAME_INFO_LENGTH;
  return STATUS_SUCCESS;
}

// The record must be there, at least 32 bytes long, and say so in its first word.
NTSTATUS CamStreamReleaseFrameRequest(const CAM_CONTROL_CALL* Call) {
  if (Call->Buffer == NULL || Call->InputLength < CAM_STREAM_FRAME_RELEASE_LENGTH ||
      CamGetU32(Call->Buffer + FIELD_OFFSET(CAM_STREAM_FRAME_RELEASE, Length)) !=
          CAM_STREAM_FRAME_RELEASE_LENGTH) {
    return STATUS_INVALID_PARAMETER;
  }
  const UCHAR* address = Call->Buffer + FIELD_OFFSET(CAM_STREAM_FRAME_RELEASE, UserAddress);
  ULONGLONG userAddress = (ULONGLONG)CamGetU32(address) | ((ULONGLONG)CamGetU32(address + 4) << 32);
  return CamReleaseStreamFrame(Call->DeviceObject, Call->Irp, userAddress);
}

NTSTATUS CamStreamReadFrameRequest(const CAM_CONTROL_CALL* Call) {
  return CamReadStreamFrame(Call->DeviceObject, Call->Irp, Call->OutputLength);
}
