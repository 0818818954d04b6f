// Power management.
#pragma once

#include "../driver/driver.h"

DRIVER_DISPATCH CamDispatchPower;
