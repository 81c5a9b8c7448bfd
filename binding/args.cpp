// Argument checking for the five callables. The checks run in a fixed order, and the first failure wins:
// the number of positional arguments, then each keyword in the order given (unknown name, or a parameter
// already given), then a missing `input`, then the types of `input` and `profile`, in that order.
#include <cstring>

#include "pyql/args.hpp"
#include "pyql/utf8.hpp"

namespace pyql {
namespace {

// The qualified name of a type, as error texts show it ("int", "Outer.Inner", never "builtins.Profile").
PyObject* qualified_type_name(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetQualName(type);
#else
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
    if (name != nullptr && PyUnicode_Check(name)) return name;
    Py_XDECREF(name);
    PyErr_Clear();
    const char* dot = strrchr(type->tp_name, '.');
    return PyUnicode_FromString(dot != nullptr ? dot + 1 : type->tp_name);
#endif
}

bool conversion_error(const char* param, PyObject* given, const char* target) {
    Ref name(qualified_type_name(Py_TYPE(given)));
    if (!name) return false;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", param, name.get(), target);
    return false;
}

// Places positional and keyword arguments on the parameters of one signature.
class Binder {
public:
    explicit Binder(const Signature& sig) : sig_(sig) {
        if (sig.takes_input) names_[count_++] = "input";
        if (sig.takes_profile) names_[count_++] = "profile";
    }

    bool positional(PyObject* const* args, Py_ssize_t nargs) {
        if (nargs > count_) {
            const int required = sig_.takes_input ? 1 : 0;
            const char* verb = nargs == 1 ? "was" : "were";
            if (required != count_) {
                PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                             sig_.display_name, required, count_, nargs, verb);
            } else {
                PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", sig_.display_name,
                             count_, nargs, verb);
            }
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) values_[i] = args[i];
        return true;
    }

    bool keyword(PyObject* key, PyObject* value) {
        for (int i = 0; i < count_; ++i) {
            // Keyword names are compared by value: a caller may build them at run time.
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, names_[i]) == 0) {
                if (values_[i] != nullptr) {
                    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig_.display_name,
                                 names_[i]);
                    return false;
                }
                values_[i] = value;
                return true;
            }
        }
        PyErr_Format(PyExc_TypeError,
                     PyUnicode_Check(key) ? "%s got an unexpected keyword argument '%U'"
                                          : "%s got an unexpected keyword argument '%S'",
                     sig_.display_name, key);
        return false;
    }

    bool finish(Arguments& out) {
        int i = 0;
        if (sig_.takes_input) {
            PyObject* input = values_[i++];
            if (input == nullptr) {
                PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: 'input'", sig_.display_name);
                return false;
            }
            if (!PyUnicode_Check(input)) return conversion_error("input", input, "PyString");
            // A lone surrogate cannot be encoded; its UnicodeEncodeError goes to the caller unchanged.
            if (!view_or_encode_utf8(input, out)) return false;
        }
        if (sig_.takes_profile) {
            PyObject* profile = values_[i];
            if (profile != nullptr && profile != Py_None) {
                if (!PyObject_TypeCheck(profile, type_of(kProfile))) {
                    return conversion_error("profile", profile, "Profile");
                }
                out.profile = static_cast<quillet::Profile>(enum_value(profile));
            }
        }
        return true;
    }

private:
    const Signature& sig_;
    const char* names_[2] = {};
    PyObject* values_[2] = {};  // borrowed from the caller's arguments
    int count_ = 0;
};

}  // namespace

bool parse_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arguments& out) {
    Binder binder(sig);
    if (!binder.positional(args, nargs)) return false;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (!binder.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return false;
        }
    }
    return binder.finish(out);
}

bool parse_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, Arguments& out) {
    Binder binder(sig);
    if (!binder.positional(PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args))) return false;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!binder.keyword(key, value)) return false;
        }
    }
    return binder.finish(out);
}

}  // namespace pyql
