// Run records derived without keeping the events: for a caller that keeps its events elsewhere (a
// log database) and asks this store for the records only.
#include "derive.hpp"
#include "names.hpp"
#include "store.hpp"
#include "util.hpp"

namespace tally {

using namespace names;

nb::object Store::derive_record(nb::handle event_type, nb::handle timestamp, nb::handle source,
                                nb::handle message, nb::handle meta, nb::handle run) {
    // An exact dict stands for the event (EventParts reads a model's fields or a dict's entries).
    nb::object fields = checked(PyDict_New());
    const std::pair<Name *, nb::handle> entries[] = {
        {&a_event_type, event_type}, {&a_timestamp, timestamp}, {&a_source, source},
        {&a_message, message},       {&a_meta, meta},           {&a_run, run},
    };
    for (const auto &[name, value] : entries)
        if (PyDict_SetItem(fields.ptr(), name->get(), value.ptr()) < 0)
            throw nb::python_error();

    Graveyard dead;
    nb::object status;
    {
        Busy busy(*this, true);
        EventParts ev = EventParts::read(fields);
        if (ev.run.is_none()) {
            PyErr_SetString(PyExc_ValueError, "derive_record needs an event with a run context");
            throw nb::python_error();
        }
        RunState *st = state_for(ev.run_id);  // an unhashable run id fails here
        RecordPlan plan = plan_record(ev, st);
        std::unique_ptr<RunState> made;
        if (st == nullptr) {
            table_.reserve(table_.size() + 1);
            made.reset(make_state(ev.run_id.ptr(), PyObject_Hash(ev.run_id.ptr())));  // hashed above
        }
        // From here on the store changes, and no Python code runs until it is consistent again.
        ++seq_;
        st = commit_record(plan, st, made, dead);
        st->newest_seq = seq_;
        evict_beyond_max_runs(st, dead);
        status = record_value(st, F_status);
    }
    return status;
}

}  // namespace tally
