// Binding of the Tallybook module (not built yet: the module imports and says so).
#include <nanobind/nanobind.h>

#include "orvane/support.hpp"

namespace nb = nanobind;

NB_MODULE(Tallybook, m) {
    orvane::init_support(m);
    m.doc() = "Tallybook: placeholder; this subsystem is not built yet.";
}
