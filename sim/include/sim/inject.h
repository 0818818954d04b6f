// Failures a test injects into the simulated kernel's services. Counts start
// from the call after the injection: nth = 1 fails the very next call.
#pragma once

#include <sim/ntddk.h>

#include <cstdint>
#include <functional>
#include <string>

namespace sim::inject {

// Fails the nth driver pool allocation from now (ExAllocatePool returns NULL).
void fail_pool_allocation(int nth = 1);
// Fails the nth IRP allocation (IoAllocateIrp, IoBuildDeviceIoControlRequest).
void fail_irp_allocation(int nth = 1);
// Fails the nth MDL allocation (IoAllocateMdl).
void fail_mdl_allocation(int nth = 1);
// Fails the nth user-mode mapping (MmMapLockedPagesSpecifyCache with UserMode),
// which raises an exception.
void fail_user_mapping(int nth = 1);
// Fails the nth mapping into system space (MmGetSystemAddressForMdlSafe, or
// MmMapLockedPagesSpecifyCache with KernelMode, of an MDL not yet mapped): NULL.
void fail_system_mapping(int nth = 1);
// Fails the nth call of a named kernel service with `status`. Known names:
// "IoCreateDevice", "IoCreateSymbolicLink", "IoAttachDeviceToDeviceStack"
// (which then returns NULL), "USBD_CreateConfigurationRequestEx" (NULL),
// "PoRequestPowerIrp".
void fail_call(const std::string& call, NTSTATUS status, int nth = 1);
// Points where a test stops a thread and runs another operation there, so that an
// interleaving that timing would show only by luck is shown every time. The action
// runs on the stopped thread, at its IRQL and with whatever it holds; the thread
// goes on once the action returns: an action that starts another operation on
// another thread and waits for it sees that operation run exactly at this point
// of the stopped thread's code. Calls the action makes on its own thread are not
// points. Only calls that `match` accepts are counted; the match is given the
// object the call acts on (below) and runs under the injections' lock, so it looks
// and never calls the platform. While nothing is armed a point costs one relaxed
// atomic load.
using PointMatch = std::function<bool(const volatile void* object)>;
// Stops the thread that makes the nth accepted call (and the `times` - 1 after it)
// of a named kernel service at the call's entry, before the service does anything
// or any failure above is injected. Every service the driver calls is a point,
// under its own name (KeAcquireSpinLock is KeAcquireSpinLockRaiseToDpc,
// IoCallDriver and IoCompleteRequest are IofCallDriver and IofCompleteRequest,
// ExAllocatePool is SimExAllocatePoolAt and ExAllocatePoolWithTag
// SimExAllocatePoolWithTagAt), but those that only set up the caller's own object
// (KeInitializeEvent, KeInitializeSpinLock, RtlInitUnicodeString) and the cancel
// spin lock's pair, which take it through KeAcquireSpinLockRaiseToDpc and
// KeReleaseSpinLock. The object given to the match is the event, spin lock, IRP,
// MDL, pool block, descriptor, record or device object the call acts on, or null (the
// allocations, IoCreateSymbolicLink, KeQueryInterruptTime). The platform's own
// calls of these services are points as well.
void at_call(const std::string& call, std::function<void()> action, int nth = 1, int times = 1,
             PointMatch match = nullptr);
// Stops the thread that makes the nth accepted interlocked operation (sim/ntddk.h:
// InterlockedIncrement, InterlockedCompareExchange, ...; not the compiler's
// builtins) on the word at `address`, before the operation takes effect, and runs
// `action` there. The object given to the match is `address`.
void at_interlocked(const volatile void* address, std::function<void()> action, int nth = 1,
                    PointMatch match = nullptr);
// The points armed and not yet spent; 0 after clear().
int points_armed();
// Cancels (IoCancelIrp) the nth IRP that `match` accepts at a moment a real cancel
// can land on Windows: just before a completion routine runs on it, or just before
// a driver sends it again after it has completed (between its routine and the
// re-submission).
enum class CancelPoint { BeforeCompletionRoutine = 0, BeforeResend = 1 };
using IrpMatch = std::function<bool(PIRP irp)>;
void cancel_irp_at(CancelPoint point, IrpMatch match, int nth = 1);
// Low resources simulation, as Driver Verifier makes it: from now until clear(),
// each driver pool, IRP and MDL allocation and each system or user mapping fails
// with probability `fraction`, drawn from a generator seeded with `seed`, so that
// a run can be repeated. On top of the nth-call injections above.
void low_resources(uint32_t seed, double fraction);
// Failures the low resources simulation has made since it was turned on.
long low_resources_failures();
// Removes every pending injection, the low resources simulation included.
void clear();

// How many driver pool allocations have been made since the platform started;
// a test can sweep "fail the nth" over this count.
long pool_allocations();

}  // namespace sim::inject

namespace sim::inject {

// Whether one of the nth-call failures above (pool, IRP, MDL, user or system
// mapping, a named kernel call) is still waiting for its call: false once it has
// failed that call, so a sweep knows when an operation no longer reaches the
// failure it was given.
bool failure_armed();

}  // namespace sim::inject
