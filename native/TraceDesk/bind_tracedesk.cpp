// Binding of the TraceDesk module (not built yet: the module imports and says so).
#include <nanobind/nanobind.h>

#include "orvane/support.hpp"

namespace nb = nanobind;

NB_MODULE(TraceDesk, m) {
    orvane::init_support(m);
    m.doc() = "TraceDesk: placeholder; this subsystem is not built yet.";
}
