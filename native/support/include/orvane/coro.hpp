// Native coroutines: C++20 coroutines that Python's asyncio accepts as coroutines.
//
// A C++ function returning `orvane::coro::Task` is a lazily started coroutine. `wrap()` turns a
// Task into a Python object of type `orvane_devtools.native_coroutine`, registered as a
// `collections.abc.Coroutine`, so `await`, `asyncio.run`, `create_task` and `gather` accept it.
//
// Inside the body, `co_await orvane::coro::await(obj)` awaits any Python awaitable and yields the
// objects it yields (futures) to whoever drives us, untouched; the awaitable's result comes back
// as an nb::object, its exception is rethrown as nb::python_error so C++ can catch it by type.
//
// Threading: a coroutine is driven with the GIL held, like any Python coroutine. Take parameters
// by value: the frame outlives the call that created it.
//
// Write the awaitable into a named local first and co_await that:
//     nb::object pending = obj.attr("method")(arg);
//     nb::object result = co_await orvane::coro::await(pending);
// GCC 12 mishandles temporaries inside a co_await operand (double destruction), so no call,
// conditional or cast belongs inside the co_await expression itself.
//
// Garbage collection: the coroutine object reports to the cycle collector what it awaits and its
// result, not the locals of the C++ frame. A reference cycle that runs through a frame local (an
// object that stores the very coroutine that holds it) is therefore not collected; nothing in
// this package builds one.
#pragma once

#include <nanobind/nanobind.h>

#include <coroutine>
#include <exception>
#include <utility>

namespace orvane::coro {

namespace nb = nanobind;

struct Promise;

class [[nodiscard]] Task {
public:
    using promise_type = Promise;
    explicit Task(std::coroutine_handle<Promise> h) noexcept : h_(h) {}
    Task(Task &&o) noexcept : h_(std::exchange(o.h_, {})) {}
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;
    Task &operator=(Task &&) = delete;
    ~Task() {
        if (h_)
            h_.destroy();
    }
    std::coroutine_handle<Promise> release() noexcept { return std::exchange(h_, {}); }

private:
    std::coroutine_handle<Promise> h_;
};

struct Promise {
    PyObject *inner = nullptr;   // iterator of the awaitable we are suspended on (strong)
    PyObject *sent = nullptr;    // result delivered to the suspended co_await (strong)
    PyObject *thrown = nullptr;  // exception delivered to the suspended co_await (strong)
    PyObject *result = nullptr;  // value of co_return (strong)
    std::exception_ptr error;    // exception that escaped the body

    Promise() = default;
    Promise(const Promise &) = delete;
    ~Promise() {
        Py_XDECREF(inner);
        Py_XDECREF(sent);
        Py_XDECREF(thrown);
        Py_XDECREF(result);
    }

    Task get_return_object() noexcept {
        return Task(std::coroutine_handle<Promise>::from_promise(*this));
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }

    void return_value(nb::object value) noexcept {
        Py_XDECREF(result);
        result = value.release().ptr();
    }
    void return_value(nb::handle value) noexcept { return_value(nb::borrow(value)); }
    void return_value(bool value) noexcept { return_value(nb::bool_(value)); }
    void return_value(std::nullptr_t) noexcept { return_value(nb::none()); }
    template <typename T> void return_value(T &&value) {
        return_value(nb::cast(std::forward<T>(value)));
    }
    void unhandled_exception();
};

// Awaiter for a Python awaitable; see await().
class Await {
public:
    explicit Await(nb::object awaitable) : awaitable_(std::move(awaitable)) {}
    // Resolves the awaitable's iterator here, so that a non-awaitable object raises inside the
    // body at the co_await, where C++ code can catch it.
    bool await_ready();
    void await_suspend(std::coroutine_handle<Promise> h) noexcept;
    nb::object await_resume();

private:
    nb::object awaitable_;
    PyObject *iter_ = nullptr;
    Promise *promise_ = nullptr;
};

inline Await await(nb::object awaitable) { return Await(std::move(awaitable)); }
inline Await await(nb::handle awaitable) { return Await(nb::borrow(awaitable)); }

// Makes the Python coroutine object that drives `task`. `qualname` must be a string literal
// (kept by pointer); it becomes the coroutine's __name__/__qualname__.
nb::object wrap(Task &&task, const char *qualname);

// Creates the coroutine type in this extension module (once, at module init) and registers it
// with collections.abc.Coroutine.
void init(nb::module_ &m);

// Sets the Python error indicator from the C++ exception currently being handled.
// Call only inside a catch block.
void set_python_error_from_current() noexcept;

}  // namespace orvane::coro
