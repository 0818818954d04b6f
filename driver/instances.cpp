// The driver's own record of the instance numbers its device objects hold, most
// recently claimed first. The driver object's list of device objects is not read:
// a removed camera's device object leaves it, freed by a last close on any thread,
// while another thread would be walking it.
#include "driver.h"

typedef struct _CAM_INSTANCE_TABLE {
  KSPIN_LOCK Lock;
  ULONG Instances[CAM_MAX_INSTANCES];  // most recent first
  ULONG Count;
} CAM_INSTANCE_TABLE;

// Zero until CamDriverEntry initialises the lock; no constructor runs for it.
static CAM_INSTANCE_TABLE CamInstanceTable;

VOID CamInitializeInstances(VOID) {
  KeInitializeSpinLock(&CamInstanceTable.Lock);
  CamInstanceTable.Count = 0;
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
  }
  KeReleaseSpinLock(&CamInstanceTable.Lock, irql);
  return instance;
}

// Up to DISPATCH_LEVEL; takes the table's lock.
VOID CamReleaseInstance(ULONG Instance) {
  KIRQL irql;
  KeAcquireSpinLock(&CamInstanceTable.Lock, &irql);
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

// Up to DISPATCH_LEVEL; takes the table's lock. Copies the held numbers, most
// recent first, and returns how many there are.
ULONG CamListInstances(ULONG Instances[CAM_MAX_INSTANCES]) {
  KIRQL irql;
  KeAcquireSpinLock(&CamInstanceTable.Lock, &irql);
  ULONG count = CamInstanceTable.Count;
  for (ULONG i = 0; i < count; i++) Instances[i] = CamInstanceTable.Instances[i];
  KeReleaseSpinLock(&CamInstanceTable.Lock, irql);
  return count;
}
