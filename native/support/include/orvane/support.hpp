// The shared support library of the extension modules, and the rules every module follows.
//
// ---------------------------------------------------------------- invariants
//
// The GIL. Every module assumes the GIL: native state reachable from Python objects (queues,
// caches, the static objects below) is read and changed only with the GIL held, and is never left
// half-changed across a call that may release it (any call into Python may). The modules do not
// declare Py_mod_gil = Py_MOD_GIL_NOT_USED, so a free-threaded 3.13 build (python3.13t) re-enables
// the GIL when one of them is imported (with a RuntimeWarning) and they run as under the default
// build; nothing here is safe to run without it. C++ locks are held for a few instructions and
// never while waiting for the GIL; Python-level locks (threading.Lock) are taken through their own
// methods, so Python code that holds them excludes native code alike.
//
// Static Python objects. Objects a module keeps in statics (interned names, the original
// functions it compares against, imported classes, caches such as the sanitizer's verdicts) are
// created at module init or on first use and kept for the life of the process: they are never
// released, not even at interpreter exit, because finalization order is not defined and a daemon
// thread may still use them. Statics hold strong references (a leak by design, bounded).
//
// Threads that may be ended at exit. A native thread that gives the GIL up (a writer thread, a
// blocking write, the upload worker) takes it back only through orvane::py::restore_thread, which
// parks the thread for good once the interpreter is finalizing instead of letting the interpreter
// end it with a forced unwind through C++ frames; and a catch-all on such a thread lets the
// forced unwind pass (ORVANE_CATCH_ALL_BUT_FORCED_UNWIND, pyutil.hpp). Any call into Python may take the GIL back as well, so a
// module whose native code runs on daemon threads closes its exit gate in its exit hook
// (exit_gate.hpp): it waits for threads to leave its native code before finalization and stops
// them at the entry afterwards.
//
// One copy per extension. Each extension module links its own copy of this static library (all
// symbols hidden), so every static here -- the bound module of orvane::outside, the native
// coroutine type, the sanitizer's original function and verdict cache -- exists once per module.
// Modules never share native state through it; they meet only through Python objects.
//
// ---------------------------------------------------------------- naming legend
//
// Interned names (orvane::outside::Name) carry a prefix that says how the name is used:
//   a_  an attribute read or written (a_path, a_mask)
//   m_  a method called (m_model_dump, m_set_result)
//   k_  a keyword argument (k_mode for model_dump(mode=...))
//   d_  a key of a mapping: a dict key, a settings key, a module global read from its dict
//   o_  an outside name: a global of this extension module read through orvane::outside::get
//       (o_asyncio, o_data_formatter), which a host or a test may replace
// Static Python values that are not names (a kept "json" argument, a kept 0) are named for what
// they hold.
//
// ---------------------------------------------------------------- the headers
//
//   support.hpp   this file; init_support()
//   abc.hpp       Python classes made with abc.ABCMeta from C++ functions
//   args.hpp      argument checks with the house wording of type errors
//   coro.hpp      native coroutines that asyncio accepts
//   exit_gate.hpp the exit gate: no thread inside native code when finalization begins
//   export_core.hpp   the Python-free half of the export queue (queue, back-off, answers, URLs)
//   export_queue.hpp  the export queue of the HTTP exporters, and the hooks an exporter supplies
//   json.hpp      the JSON writer
//   models.hpp    fast deep copies and construction of pydantic models
//   outside.hpp   outside names (module globals read at call time)
//   pyutil.hpp    Python-call helpers; the catch-all that lets a forced unwind pass
//   resolution.hpp  the stale and orphan rules of open runs (no Python)
//   sanitize.hpp  the native DataFormatter.sanitize
//   searchtext.hpp  search-text normalisation of the run store and the facade
#pragma once

#include "orvane/abc.hpp"
#include "orvane/args.hpp"
#include "orvane/coro.hpp"
#include "orvane/models.hpp"
#include "orvane/outside.hpp"

namespace orvane {

// Objects that gc.freeze() moved to the permanent generation are never collected, not even at
// shutdown, so a host that froze its heap (pre-fork servers do) ends with our instances still
// alive. That is expected, not a reference-count fault: at exit, if anything is frozen, nanobind's
// shutdown report of live instances is turned off (it would only alarm the host's users). The
// report stays on otherwise, where it does point at a fault.
inline void quiet_leak_report_when_frozen() {
    namespace nb = nanobind;
    nb::module_::import_("atexit").attr("register")(nb::cpp_function([]() {
        nb::object count = nb::module_::import_("gc").attr("get_freeze_count")();
        if (nb::cast<Py_ssize_t>(count) > 0) nb::set_leak_warnings(false);
    }));
}

// First call in every NB_MODULE: binds the module for outside-name look-ups and registers the
// native coroutine and abstract-method helper types.
inline void init_support(nanobind::module_ &m) {
    outside::bind_module(m);
    coro::init(m);
    abc::init(m);
    quiet_leak_report_when_frozen();
}

}  // namespace orvane
