// The frame read without trigger: the same chunk chains as the triggered read,
// collecting whatever the camera sends on the image pipe within the time-outs.
#include "capture.h"

// PASSIVE_LEVEL, the read started. Sends both chunks, waits for the data and
// gives the read's status.
static NTSTATUS CamRunUntriggeredRead(PCAM_READ Read, PIRP Irp) {
  PCAM_CHUNK_CONTEXT second = Read->Transfers > 1 ? &Read->Chunks[1] : NULL;
  if (CamSendChunk(&Read->Chunks[0]) != STATUS_PENDING) {
    CamStopSending(Read, second);
    return STATUS_UNSUCCESSFUL;
  }
  if (second != NULL && CamSendChunk(second) != STATUS_PENDING) {
    CamStopSending(Read, NULL);
    CamAbortAndWait(Read);
    return STATUS_UNSUCCESSFUL;
  }
  CamReleaseSender(Read);
  return CamReadResult(Read, CamWaitForChunks(Read), Irp);
}

// PASSIVE_LEVEL, inside the request gate; IOCTL_CAM_READ_FRAME_EX. Returns with
// every transfer back and every record freed; the dispatcher completes the IRP.
NTSTATUS CamReadFrameUntriggered(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CAM_READ read;
  NTSTATUS status = CamOpenRead(DeviceObject, Irp, &read);
  if (!NT_SUCCESS(status)) return status;
  status = CamStartRead(&read);
  if (NT_SUCCESS(status)) status = CamRunUntriggeredRead(&read, Irp);
  CamCloseRead(&read);
  return status;
}
