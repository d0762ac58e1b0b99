// Binding of the Uplink module (not built yet: the module imports and says so).
#include <nanobind/nanobind.h>

#include "orvane/support.hpp"

namespace nb = nanobind;

NB_MODULE(Uplink, m) {
    orvane::init_support(m);
    m.doc() = "Uplink: placeholder; this subsystem is not built yet.";
}
