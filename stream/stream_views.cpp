// The frame buffers' views in the address space of the application that starts a
// stream: it reads frames there in place. A view belongs to the process it was
// made in and is removed there (CamFreeStream).
#include "stream.h"

// PASSIVE_LEVEL, in the starting process, inside CamCallGuarded: a user-mode
// mapping that fails raises rather than returning NULL. Never executable: the
// application only reads frames.
static VOID NTAPI CamMapSlotView(PVOID Context) {
  PCAM_FRAME_SLOT slot = (PCAM_FRAME_SLOT)Context;
  slot->UserAddress =
      MmMapLockedPagesSpecifyCache(slot->Mdl, UserMode, MmCached, NULL, FALSE, CAM_VIEW_PRIORITY);
}

// PASSIVE_LEVEL, in the process that asked for the stream, before the stream can
// be reached. Maps every slot's whole pages; on failure the views made so far
// stay for CamFreeStream to remove, in this same process.
NTSTATUS CamMapStreamViews(PCAM_STREAM_CONTEXT Stream) {
  for (ULONG i = 0; i < Stream->SlotCount; ++i) {
    PCAM_FRAME_SLOT slot = &Stream->Slots[i];
    NTSTATUS status = CamCallGuarded(CamMapSlotView, slot);
    if (!NT_SUCCESS(status) || slot->UserAddress == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}
