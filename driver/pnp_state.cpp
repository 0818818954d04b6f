// The device's Plug and Play state and the changes it may make. A change the table
// does not allow is a fault of this driver's: its requests would be served by a
// device that is not there, or refused by one that is, so it stops the machine.
#include "driver.h"

#define CAM_STATE_BIT(State) (1u << (State))

// For each state, the states it may go to, and the request that makes the change.
static const ULONG CamPnpTransitions[CamPnpStateCount] = {
    // CamPnpNotStarted: start; surprise removal; removal
    CAM_STATE_BIT(CamPnpStarted) | CAM_STATE_BIT(CamPnpSurpriseRemoved) | CAM_STATE_BIT(CamPnpRemoved),
    // CamPnpStarted: query-remove; stop; surprise removal; removal
    CAM_STATE_BIT(CamPnpQueryRemoved) | CAM_STATE_BIT(CamPnpStopping) | CAM_STATE_BIT(CamPnpSurpriseRemoved) |
        CAM_STATE_BIT(CamPnpRemoved),
    // CamPnpQueryRemoved: cancel-remove; surprise removal; removal
    CAM_STATE_BIT(CamPnpStarted) | CAM_STATE_BIT(CamPnpSurpriseRemoved) | CAM_STATE_BIT(CamPnpRemoved),
    // CamPnpStopping: the stop's unconfigure; a start after a stop that could not
    // unconfigure; surprise removal; removal
    CAM_STATE_BIT(CamPnpStopped) | CAM_STATE_BIT(CamPnpStarted) | CAM_STATE_BIT(CamPnpSurpriseRemoved) |
        CAM_STATE_BIT(CamPnpRemoved),
    // CamPnpStopped: start; surprise removal; removal
    CAM_STATE_BIT(CamPnpStarted) | CAM_STATE_BIT(CamPnpSurpriseRemoved) | CAM_STATE_BIT(CamPnpRemoved),
    // CamPnpSurpriseRemoved: removal
    CAM_STATE_BIT(CamPnpRemoved),
    // CamPnpRemoved: none; the device object goes
    0,
};

// Bug check code of this driver's own invariants, distinct from Windows' codes:
// the pool tag. The first parameter names the invariant.
#define CAM_BUGCHECK_CODE CAM_POOL_TAG
#define CAM_BUGCHECK_PNP_TRANSITION 1

// PASSIVE_LEVEL, on the Plug and Play manager's thread: the only writer, so the
// state read here is the one being left.
VOID CamSetPnpState(PCAM_DEVICE_EXTENSION Extension, CAM_PNP_STATE State) {
  CAM_PNP_STATE from = CamPnpState(Extension);
  if ((ULONG)from >= CamPnpStateCount || (CamPnpTransitions[from] & CAM_STATE_BIT(State)) == 0) {
    KeBugCheckEx(CAM_BUGCHECK_CODE, CAM_BUGCHECK_PNP_TRANSITION, (ULONG_PTR)from, (ULONG_PTR)State,
                 (ULONG_PTR)Extension);
  }
  __atomic_store_n(&Extension->PnpState, State, __ATOMIC_SEQ_CST);
}
