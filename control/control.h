// Device control: the dispatcher and its handlers.
#pragma once

#include "../driver/driver.h"

DRIVER_DISPATCH CamDispatchDeviceControl;
