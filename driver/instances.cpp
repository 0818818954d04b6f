// The driver's own record of the instance numbers its device objects hold, most
// recently claimed first. The driver object's list of device objects is not read:
// a removed camera's device object leaves it, freed by a last close on any thread,
// while another thread would be walking it. A number is listed only once its
// camera is there: AddDevice claims one before it knows whether the name is free.
#include "driver.h"

typedef struct _CAM_INSTANCE_TABLE {
  KSPIN_LOCK Lock;
  ULONG Instances[CAM_MAX_INSTANCES];  // most recent first
  ULONG Count;
  BOOLEAN Listed[CAM_MAX_INSTANCES];  // by number: its AddDevice succeeded
} CAM_INSTANCE_TABLE;

// Zero until CamDriverEntry initialises the lock; no constructor runs for it.
static CAM_INSTANCE_TABLE CamInstanceTable;

VOID CamInitializeInstances(VOID) {
  KeInitializeSpinLock(&CamInstanceTable.Lock);
  CamInstanceTable.Count = 0;
  RtlZeroMemory(CamInstanceTable.Listed, sizeof(CamInstanceTable.Listed));
}

static BOOLEAN CamInstanceHeld(ULONG Instance) {
  for (ULONG i = 0; i < CamInstanceTable.Count; i++) {
    if (CamInstanceTable.Instances[i] == Instance) return TRUE;
  }
  return FALSE;
}

// Up to DISPATCH_LEVEL; takes the table's lock. Claims the lowest number that is
// neither held nor in Skip (a bit per number); CAM_MAX_INSTANCES when none is left.
ULONG CamClaimInstance(ULONG Skip) {
  KIRQL irql;
  KeAcquireSpinLock(&CamInstanceTable.Lock, &irql);
  ULONG instance = 0;
  while (instance < CAM_MAX_INSTANCES && (CamInstanceHeld(instance) || (Skip & (1u << instance)))) instance++;
  if (instance < CAM_MAX_INSTANCES) {
    for (ULONG i = CamInstanceTable.Count; i > 0; i--) {
      CamInstanceTable.Instances[i] = CamInstanceTable.Instances[i - 1];
    }
    CamInstanceTable.Instances[0] = instance;
    CamInstanceTable.Count++;
    CamInstanceTable.Listed[instance] = FALSE;
  }
  KeReleaseSpinLock(&CamInstanceTable.Lock, irql);
  return instance;
}

// Up to DISPATCH_LEVEL; takes the table's lock. The claimed number's camera is
// complete: the device list names it from now on.
VOID CamPublishInstance(ULONG Instance) {
  KIRQL irql;
  KeAcquireSpinLock(&CamInstanceTable.Lock, &irql);
  CamInstanceTable.Listed[Instance] = TRUE;
  KeReleaseSpinLock(&CamInstanceTable.Lock, irql);
}

// Up to DISPATCH_LEVEL; takes the table's lock.
VOID CamReleaseInstance(ULONG Instance) {
  KIRQL irql;
  KeAcquireSpinLock(&CamInstanceTable.Lock, &irql);
  CamInstanceTable.Listed[Instance] = FALSE;
  for (ULONG i = 0; i < CamInstanceTable.Count; i++) {
    if (CamInstanceTable.Instances[i] != Instance) continue;
    for (ULONG j = i + 1; j < CamInstanceTable.Count; j++) {
      CamInstanceTable.Instances[j - 1] = CamInstanceTable.Instances[j];
    }
    CamInstanceTable.Count--;
    break;
  }
  KeReleaseSpinLock(&CamInstanceTable.Lock, irql);
}

// Up to DISPATCH_LEVEL; takes the table's lock. Copies the listed numbers, most
// recent first, and returns how many there are.
ULONG CamListInstances(ULONG Instances[CAM_MAX_INSTANCES]) {
  KIRQL irql;
  KeAcquireSpinLock(&CamInstanceTable.Lock, &irql);
  ULONG count = 0;
  for (ULONG i = 0; i < CamInstanceTable.Count; i++) {
    ULONG instance = CamInstanceTable.Instances[i];
    if (CamInstanceTable.Listed[instance]) Instances[count++] = instance;
  }
  KeReleaseSpinLock(&CamInstanceTable.Lock, irql);
  return count;
}
