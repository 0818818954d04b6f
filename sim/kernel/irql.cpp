// Per-thread IRQL and the level contract of every routine the driver may call.
// Only PASSIVE_LEVEL and DISPATCH_LEVEL matter to this platform: dispatch
// routines run at passive level, completions and spin-lock holders at dispatch
// level (a driver may raise to APC_LEVEL itself).
#include <cstring>

#include "internal.h"

namespace sim {
namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;

struct LevelRule {
  const char* routine;
  KIRQL highest;
};

// The highest level Windows allows each routine to be called at.
const LevelRule kLevelRules[] = {
    {"IoBuildDeviceIoControlRequest", PASSIVE_LEVEL},
    {"IoCreateDevice", PASSIVE_LEVEL},
    {"IoDeleteDevice", PASSIVE_LEVEL},
    {"IoCreateSymbolicLink", PASSIVE_LEVEL},
    {"IoDeleteSymbolicLink", PASSIVE_LEVEL},
    {"IoDetachDevice", PASSIVE_LEVEL},
    {"USBD_GetUSBDIVersion", PASSIVE_LEVEL},
    {"USBD_ParseConfigurationDescriptorEx", PASSIVE_LEVEL},
    {"USBD_CreateConfigurationRequestEx", PASSIVE_LEVEL},
    {"MmMapLockedPagesSpecifyCache(UserMode)", APC_LEVEL},
    {"MmUnmapLockedPages(user view)", APC_LEVEL},
    {"KeStackAttachProcess", APC_LEVEL},
    {"KeUnstackDetachProcess", APC_LEVEL},
    {"IoAttachDeviceToDeviceStack", DISPATCH_LEVEL},
    {"IoGetAttachedDevice", DISPATCH_LEVEL},
    {"IoAllocateIrp", DISPATCH_LEVEL},
    {"IoInitializeIrp", DISPATCH_LEVEL},
    {"IoReuseIrp", DISPATCH_LEVEL},
    {"IoFreeIrp", DISPATCH_LEVEL},
    {"IofCallDriver", DISPATCH_LEVEL},
    {"IofCompleteRequest", DISPATCH_LEVEL},
    {"IoCancelIrp", DISPATCH_LEVEL},
    {"IoAcquireCancelSpinLock", DISPATCH_LEVEL},
    {"IoAllocateMdl", DISPATCH_LEVEL},
    {"IoFreeMdl", DISPATCH_LEVEL},
    {"IoGetCurrentProcess", DISPATCH_LEVEL},
    {"MmBuildMdlForNonPagedPool", DISPATCH_LEVEL},
    {"MmMapLockedPagesSpecifyCache", DISPATCH_LEVEL},
    {"MmUnmapLockedPages", DISPATCH_LEVEL},
    {"ExAllocatePool", DISPATCH_LEVEL},
    {"ExFreePool", DISPATCH_LEVEL},
    {"KeSetEvent", DISPATCH_LEVEL},
    {"KeResetEvent", DISPATCH_LEVEL},
    {"KeClearEvent", DISPATCH_LEVEL},
    {"KeReadStateEvent", DISPATCH_LEVEL},
    {"PoRequestPowerIrp", DISPATCH_LEVEL},
    {"PoStartNextPowerIrp", DISPATCH_LEVEL},
    {"PoCallDriver", DISPATCH_LEVEL},
    {"PoSetPowerState", DISPATCH_LEVEL},
    {"RtlInitUnicodeString", DISPATCH_LEVEL},
};

}  // namespace

KIRQL current_irql() { return t_irql; }
void set_irql(KIRQL irql) { t_irql = irql; }

IrqlScope::IrqlScope(KIRQL irql) : saved_(t_irql) { t_irql = irql; }
IrqlScope::~IrqlScope() { t_irql = saved_; }

KIRQL highest_level_for(const char* routine) {
  for (const LevelRule& rule : kLevelRules) {
    if (std::strcmp(rule.routine, routine) == 0) return rule.highest;
  }
  report_fault(Fault::Unimplemented, std::string("no level rule for ") + routine);
  return PASSIVE_LEVEL;
}

bool irql_check(const char* routine) {
  KIRQL highest = highest_level_for(routine);
  if (t_irql <= highest) return true;
  report_fault(Fault::IrqlTooHigh, std::string(routine) + " called at IRQL " + std::to_string(t_irql) +
                                       "; the highest allowed is " + std::to_string(highest));
  return false;
}

}  // namespace sim

using namespace sim;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return t_irql; }

VOID NTAPI KfRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  if (NewIrql > DISPATCH_LEVEL) {
    report_fault(Fault::IrqlRaisedAboveDispatch, "KeRaiseIrql to " + std::to_string(NewIrql));
  }
  if (NewIrql < t_irql) {
    report_fault(Fault::IrqlLowerWrongWay,
                 "KeRaiseIrql from " + std::to_string(t_irql) + " down to " + std::to_string(NewIrql));
  }
  *OldIrql = t_irql;
  t_irql = NewIrql;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > t_irql) {
    report_fault(Fault::IrqlLowerWrongWay,
                 "KeLowerIrql from " + std::to_string(t_irql) + " up to " + std::to_string(NewIrql));
  }
  t_irql = NewIrql;
}

}  // extern "C"
