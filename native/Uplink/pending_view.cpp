// The view behind `_pending_events`: a deque-like window on the native queue that hands out
// snapshots (captured entries get theirs built on first use). Like a deque it takes no lock
// itself; hold `_pending_lock` when other threads may append meanwhile.
#include <vector>

#include "sink.hpp"

namespace orvane::uplink {

namespace {

struct PendingView {
    nb::object sink;
};

// The view's queue, re-read at every call (a fork or a setter may replace nothing but the
// entries, the state object itself stays).
ExportState &view_state(PendingView &v, StateRef &keep) {
    keep = state_of(v.sink);
    return *keep.st;
}

nb::list view_list(PendingView &v) {
    StateRef keep{};
    ExportState &st = view_state(v, keep);
    nb::list out;
    // Snapshots are built for captured entries first (that allocates, and may let other code
    // run); the list is then filled in one pass that runs no Python code.
    std::vector<nb::object> items;
    items.reserve(st.queue.size());
    st.queue.for_each([&](const QueueEntry &e) {
        items.push_back(nb::borrow(static_cast<PyObject *>(e.item)));
        return true;
    });
    std::vector<char> captured;
    st.queue.for_each([&](const QueueEntry &e) {
        captured.push_back(e.compact ? 1 : 0);
        return true;
    });
    for (size_t i = 0; i < items.size(); ++i) {
        if (i < captured.size() && captured[i])
            items[i] = capture_snapshot(items[i]);
        out.append(items[i]);
    }
    return out;
}

void view_replace(ExportState &st, nb::handle iterable) {
    nb::list items = nb::steal<nb::list>(PySequence_List(iterable.ptr()));
    if (!items.is_valid())
        throw nb::python_error();
    st.clear_queue();
    for (nb::handle item : items)
        orvane::exporting::push_item(st, item, false);
}

}  // namespace

void init_pending_view(nb::module_ &m) {
    nb::class_<PendingView>(m, "_PendingEvents",
                            "Deque-like view of the pending snapshots, oldest first.")
        .def("__len__", [](PendingView &v) {
            StateRef keep{};
            return view_state(v, keep).queue.size();
        })
        .def("__bool__", [](PendingView &v) {
            StateRef keep{};
            return !view_state(v, keep).queue.empty();
        })
        .def("__iter__", [](PendingView &v) { return nb::iter(view_list(v)); })
        .def("__getitem__", [](PendingView &v, Py_ssize_t i) { return nb::object(view_list(v)[i]); })
        .def("__repr__", [](PendingView &v) {
            return nb::str("deque({!r})").format(view_list(v));
        })
        .def("__eq__", [](PendingView &v, nb::handle other) {
            nb::object mine = view_list(v);
            PyObject *theirs = PySequence_List(other.ptr());
            if (theirs == nullptr) {
                PyErr_Clear();
                return false;
            }
            return mine.equal(nb::steal(theirs));
        })
        .def("append", [](PendingView &v, nb::handle item) {
            StateRef keep{};
            orvane::exporting::push_item(view_state(v, keep), item, false);
        })
        .def("appendleft", [](PendingView &v, nb::handle item) {
            StateRef keep{};
            orvane::exporting::push_item(view_state(v, keep), item, true);
        })
        .def("extend", [](PendingView &v, nb::handle items) {
            StateRef keep{};
            ExportState &st = view_state(v, keep);
            nb::list list = nb::steal<nb::list>(PySequence_List(items.ptr()));
            if (!list.is_valid())
                throw nb::python_error();
            for (nb::handle item : list)
                orvane::exporting::push_item(st, item, false);
        })
        .def("popleft", [](PendingView &v) {
            StateRef keep{};
            auto e = view_state(v, keep).queue.pop_front();
            if (!e)
                throw nb::index_error("pop from an empty deque");
            nb::object item = nb::steal(static_cast<PyObject *>(e->item));
            return item_snapshot(item, e->compact);
        })
        .def("pop", [](PendingView &v) {
            StateRef keep{};
            auto e = view_state(v, keep).queue.pop_back();
            if (!e)
                throw nb::index_error("pop from an empty deque");
            nb::object item = nb::steal(static_cast<PyObject *>(e->item));
            return item_snapshot(item, e->compact);
        })
        .def("clear", [](PendingView &v) {
            StateRef keep{};
            view_state(v, keep).clear_queue();
        })
        .def("remove", [](PendingView &v, nb::handle value) {
            StateRef keep{};
            ExportState &st = view_state(v, keep);
            nb::list items = view_list(v);
            Py_ssize_t n = PyList_GET_SIZE(items.ptr());
            for (Py_ssize_t i = 0; i < n; ++i) {
                int eq = PyObject_RichCompareBool(PyList_GET_ITEM(items.ptr(), i), value.ptr(), Py_EQ);
                if (eq < 0)
                    throw nb::python_error();
                if (eq) {
                    if (PySequence_DelItem(items.ptr(), i) < 0)
                        throw nb::python_error();
                    view_replace(st, items);
                    return;
                }
            }
            throw nb::value_error("deque.remove(x): x not in deque");
        });
}

nb::object pending_events_property() {
    nb::object fget = nb::cpp_function([](nb::handle self) {
        state_of(self);
        return nb::cast(PendingView{nb::borrow(self)});
    });
    nb::object fset = nb::cpp_function(
        [](nb::handle self, nb::handle value) { view_replace(*state_of(self).st, value); }, nb::arg("self"),
        nb::arg("value").none());
    return nb::module_::import_("builtins").attr("property")(
        fget, fset, nb::none(), "Pending event snapshots, oldest first (guarded by ``_pending_lock``).");
}

}  // namespace orvane::uplink
