// Every event the bridge injects, with all its fields.
#pragma once

#include <vector>

#include "os/os.h"

namespace sim {

struct InputSink {
    std::vector<os::InputRecord> events;
};

}  // namespace sim
