// Everything a binding needs from the shared support library.
#pragma once

#include "orvane/abc.hpp"
#include "orvane/args.hpp"
#include "orvane/coro.hpp"
#include "orvane/models.hpp"
#include "orvane/outside.hpp"

namespace orvane {

// First call in every NB_MODULE: binds the module for outside-name look-ups and registers the
// native coroutine and abstract-method helper types.
inline void init_support(nanobind::module_ &m) {
    outside::bind_module(m);
    coro::init(m);
    abc::init(m);
}

}  // namespace orvane
