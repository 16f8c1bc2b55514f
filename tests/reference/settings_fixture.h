// The settings tests and benches start from: data/default.txt as shipped, read with the
// program's own reader, then changed where a test needs other values.
#pragma once

#include <functional>

#include "control/settings.h"

// data/default.txt with `change` applied. A default.txt that cannot be read whole stops the
// program with a message: every test built on it would be meaningless.
DetectionSettings settings_fixture(const std::function<void(DetectionSettings&)>& change = {});
