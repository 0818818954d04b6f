// How many bytes each stream transfer asks for. The byte count alone cuts the
// stream into frames, so no transfer may ask for more than is left of the frame
// beyond what the other transfer is already fetching: a packet of the next frame
// would land in this one.
#include "stream.h"

// Any IRQL. The first request of transfer 0 or 1, FrameSize more than 0: both ask
// for a whole frame when one fits a transfer; otherwise transfer 0 takes the first
// chunk and transfer 1 the next, at most a chunk.
ULONG CamFirstTransferLength(LONG FrameSize, ULONG Transfer) {
  ULONG frame = (ULONG)FrameSize;
  if (frame <= CAM_STREAM_CHUNK_SIZE) return frame;
  if (Transfer == 0) return CAM_STREAM_CHUNK_SIZE;
  ULONG rest = frame - CAM_STREAM_CHUNK_SIZE;
  return rest < CAM_STREAM_CHUNK_SIZE ? rest : CAM_STREAM_CHUNK_SIZE;
}

// Any IRQL. The next request of a transfer that just completed, with Filled bytes
// of the frame in: the other transfer is fetching the piece after those, so this
// one asks for the piece after that, or the first chunk of the next frame when
// the other finishes this one.
ULONG CamNextTransferLength(LONG FrameSize, ULONG Filled) {
  ULONG frame = (ULONG)FrameSize;
  if (frame <= CAM_STREAM_CHUNK_SIZE) return frame;
  ULONG rest = frame - Filled;
  if (rest <= CAM_STREAM_CHUNK_SIZE) return CAM_STREAM_CHUNK_SIZE;
  rest -= CAM_STREAM_CHUNK_SIZE;
  return rest < CAM_STREAM_CHUNK_SIZE ? rest : CAM_STREAM_CHUNK_SIZE;
}
