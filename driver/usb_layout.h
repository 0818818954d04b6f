// The sizes of the USB request blocks and descriptors this driver fills or reads.
// Both builds check them, so the simulated platform cannot drift from the real
// headers.
#pragma once

#include "platform.h"

static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "vendor request URB");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "descriptor request URB");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "bulk transfer URB");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88, "select-configuration URB");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "pipe request URB");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "configuration descriptor header");
