// Binding of the Linefile module (not built yet: the module imports and says so).
#include <nanobind/nanobind.h>

#include "orvane/support.hpp"

namespace nb = nanobind;

NB_MODULE(Linefile, m) {
    orvane::init_support(m);
    m.doc() = "Linefile: placeholder; this subsystem is not built yet.";
}
