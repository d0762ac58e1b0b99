#include "desk.hpp"

namespace orvane::desk {

void add_intake(nb::module_ &, nb::dict &) {}

}  // namespace orvane::desk
