// One readable line per frame the simulated terminal receives or sends: the
// code's name, the payload's length and the fields that matter for that code.
#pragma once

#include <string>

#include "sim/wire.h"

namespace ks318::tools {

// "35 text  170 B  x 10 y 20 colour 15 height 16 font \"\" \"Hello\"".
std::string describeFrame(const sim::Frame &frame);

}  // namespace ks318::tools
