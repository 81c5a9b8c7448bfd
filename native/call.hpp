// What the module's functions share: the GIL released around C++ work, the profile argument, a str source's
// UTF-8.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "buffers.hpp"
#include "convert.hpp"
#include "pyql/entry.hpp"
#include "pyql/layouts.hpp"
#include "pyql/utf8.hpp"
#include "quillet/model.hpp"

namespace quillet::writers {
struct HtmlOptions;
}

namespace quillet_native {

using pyql::Ref;

// The HTML writer's options from the dict `options` (null: the defaults), as quillet.to_html passes them
// (module.cpp); false with the exception set.
bool html_options(PyObject* options, quillet::writers::HtmlOptions& o);

// Runs `work` with the GIL released; a C++ exception comes back as MemoryError or RuntimeError. Nothing
// may throw across the release, so the failure is carried out of the block and raised after it.
template <class Work>
bool without_gil(Work work) {
    enum class Failure { None, Memory, Other } failure = Failure::None;
    std::string what;
    Py_BEGIN_ALLOW_THREADS;
    try {
        work();
    } catch (const std::bad_alloc&) {
        failure = Failure::Memory;
    } catch (const std::exception& e) {
        failure = Failure::Other;
        what = e.what();
    } catch (...) {
        failure = Failure::Other;
        what = "unknown exception";
    }
    Py_END_ALLOW_THREADS;
    if (failure == Failure::Memory) {
        PyErr_NoMemory();
        return false;
    }
    if (failure == Failure::Other) {
        PyErr_Format(PyExc_RuntimeError, "quillet writer failed: %s", what.c_str());
        return false;
    }
    return true;
}

// The profile argument: None, a pyql.Profile, or a profile's name as the header line writes it ("md"); the
// texts of the errors are those of the Python tools' profile argument.
inline bool read_profile(PyObject* arg, quillet::Profile& out) {
    out = quillet::Profile::Quillet;
    if (arg == Py_None) return true;
    if (PyUnicode_Check(arg)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(arg, &size);
        if (text == nullptr) return false;
        const std::string_view name(text, static_cast<size_t>(size));
        std::string names;
        for (size_t i = 0; i < std::size(quillet::kProfileNames); ++i) {
            if (quillet::kProfileNames[i] == name) {
                out = static_cast<quillet::Profile>(i);
                return true;
            }
            names += (i ? ", " : "") + std::string(quillet::kProfileNames[i]);
        }
        PyErr_Format(PyExc_ValueError, "profile must be one of %s, not %R", names.c_str(), arg);
        return false;
    }
    const quillet_native::Classes* classes = quillet_native::pyql_classes();
    if (classes == nullptr) return false;
    if (Py_TYPE(arg) != classes->profile) {
        Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(arg)), "__name__"));
        if (name) PyErr_Format(PyExc_TypeError, "profile must be None, a pyql.Profile or its name, not %U", name.get());
        return false;
    }
    out = static_cast<quillet::Profile>(reinterpret_cast<const pyql::EnumObject*>(arg)->value);
    return true;
}

// The UTF-8 of a str source, refused when too long for the parser. A copy goes into `lent` when given
// (this thread's input buffer, which must outlive the use of `input`), otherwise into input.owned_input.
inline bool read_input(PyObject* str, pyql::Arguments& input, LentInput* lent = nullptr) {
    if (!pyql::view_or_encode_utf8(str, input, lent)) return false;
    if (lent != nullptr) lent->filled(input.input, static_cast<size_t>(input.input_size) + 1);
    return pyql::input_size_ok(static_cast<uint64_t>(input.input_size));
}

// The UTF-8 of a str source read in two steps, so that a str that is not ASCII is encoded with the GIL
// released, while other threads run: `read` (the GIL held) views the str's bytes or sets aside the room for
// a copy (in `lent`, this thread's input buffer, which must outlive the use of the text; else a buffer of
// its own); `text` (inside without_gil) makes the copy and gives the bytes, or nothing when they cannot be
// parsed; `done` (the GIL held again) raises why: a lone surrogate, or a text too long for the parser.
class StrInput {
public:
    bool read(PyObject* str, LentInput* lent = nullptr) {
        str_ = str;
        lent_ = lent;
        if (!pyql::prepare_utf8(str, input_, lent, pending_)) return false;
        // Every character takes a byte at least: a str too long for the parser is refused before its copy.
        return pyql::input_size_ok(static_cast<uint64_t>(PyUnicode_GET_LENGTH(str)));
    }

    std::optional<std::string_view> text() {
        if (!pending_.encode(input_)) {
            state_ = State::Surrogate;
            return std::nullopt;
        }
        if (static_cast<uint64_t>(input_.input_size) >= quillet::kMaxInputSize) {
            state_ = State::TooLong;
            return std::nullopt;
        }
        return std::string_view(input_.input, static_cast<size_t>(input_.input_size));
    }

    bool done() {
        switch (state_) {
            case State::Surrogate:
                return pyql::raise_utf8_error(str_);
            case State::TooLong:
                return pyql::input_size_ok(static_cast<uint64_t>(input_.input_size));
            case State::Ok:
                break;
        }
        if (lent_ != nullptr) lent_->filled(input_.input, static_cast<size_t>(input_.input_size) + 1);
        return true;
    }

private:
    enum class State : uint8_t { Ok, Surrogate, TooLong };
    PyObject* str_ = nullptr;
    LentInput* lent_ = nullptr;
    pyql::Arguments input_;
    pyql::PendingUtf8 pending_;
    State state_ = State::Ok;
};

}  // namespace quillet_native
