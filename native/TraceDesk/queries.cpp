#include "desk.hpp"

namespace orvane::desk {

void add_queries(nb::module_ &, nb::dict &) {}

}  // namespace orvane::desk
