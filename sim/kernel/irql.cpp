// Per-thread IRQL. Only PASSIVE_LEVEL and DISPATCH_LEVEL matter to this platform:
// dispatch routines run at passive level, completions and spin-lock holders at
// dispatch level.
#include "internal.h"

namespace sim {
namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
}

KIRQL current_irql() { return t_irql; }
void set_irql(KIRQL irql) { t_irql = irql; }

IrqlScope::IrqlScope(KIRQL irql) : saved_(t_irql) { t_irql = irql; }
IrqlScope::~IrqlScope() { t_irql = saved_; }

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
