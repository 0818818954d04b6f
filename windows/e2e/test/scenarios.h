// The scenarios, each run against a bus with no camera on it.
#pragma once

#include "rig.h"

namespace quorvex::e2e {

// Runs every scenario, printing "PASS name: ..." or "FAIL name: reason" for each.
bool run_scenarios(Bus& bus);

}  // namespace quorvex::e2e
