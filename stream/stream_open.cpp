// The first half of a stream's start: the checks that need nothing allocated, the
// reset of the streaming pipe, the stream's memory and its views.
#include "../capture/capture.h"
#include "stream.h"

// PASSIVE_LEVEL, inside the request gate, which keeps the pipe table. Checks the
// frame size and the streaming pipe (the interface's last, bulk or interrupt, in,
// with a handle and a packet size, as the frame reads need it), clears any halt
// an earlier user left on the pipe, takes every buffer and transfer the stream
// will use and maps the frame buffers into the calling process. Nothing is sent
// down for a start refused before the reset; on failure nothing is held and
// *Stream is NULL.
NTSTATUS CamOpenStream(PDEVICE_OBJECT DeviceObject, LONG FrameSize, PCAM_STREAM_CONTEXT* Stream) {
  *Stream = NULL;
  PUSBD_PIPE_INFORMATION pipe;
  if (!NT_SUCCESS(CamFindImagePipe(CamExtension(DeviceObject), &pipe))) return STATUS_UNSUCCESSFUL;
  // A frame of no bytes would make every transfer ask for nothing, and the camera
  // could never finish one.
  if (FrameSize == 0) return STATUS_INVALID_PARAMETER;
  // Its outcome does not decide the start.
  CamResetPipe(DeviceObject, pipe->PipeHandle);
  PCAM_STREAM_CONTEXT stream;
  NTSTATUS status = CamAllocateStream(DeviceObject, pipe, FrameSize, &stream);
  if (!NT_SUCCESS(status)) return status;
  status = CamMapStreamViews(stream);
  if (!NT_SUCCESS(status)) {
    CamFreeStream(stream);
    return status;
  }
  *Stream = stream;
  return STATUS_SUCCESS;
}
