// Reference implementation through Python's own json and str.casefold.
#include "orvane/searchtext.hpp"

namespace orvane::search {

namespace {
nb::object casefold_text(nb::handle s) { return s.attr("casefold")(); }

void append_utf8(nb::handle s, std::string &out) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (p == nullptr)
        throw nb::python_error();
    out.append(p, static_cast<size_t>(n));
}
}  // namespace

void append_normalized(nb::handle value, std::string &out) {
    if (value.is_none())
        return;
    if (PyUnicode_Check(value.ptr())) {
        append_utf8(casefold_text(value), out);
        return;
    }
    // Leaked on purpose: a static nb::object would be released after the interpreter is gone.
    static PyObject *dumps = nb::object(nb::module_::import_("json").attr("dumps")).release().ptr();
    nb::handle str_type(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    nb::object text = nb::handle(dumps)(value, nb::arg("ensure_ascii") = false, nb::arg("sort_keys") = true,
                            nb::arg("default") = str_type);
    append_utf8(casefold_text(text), out);
}

std::string casefold(std::string_view utf8) {
    nb::str s(utf8.data(), utf8.size());
    std::string out;
    append_utf8(casefold_text(s), out);
    return out;
}

}  // namespace orvane::search
