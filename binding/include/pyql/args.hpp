// The one argument parser behind parse(), parse_with_recovery(), Parser(), Parser.parse() and
// Parser.parse_with_recovery().
#pragma once

#include <memory>

#include "common.hpp"

namespace pyql {

// The parameters of one callable: `input` (required, first) and/or `profile` (optional).
struct Signature {
    const char* display_name;  // "parse()", "Parser.__new__()", ... as error texts name the callable
    bool takes_input;
    bool takes_profile;
};

inline constexpr Signature kParseSignature{"parse()", true, true};
inline constexpr Signature kParseWithRecoverySignature{"parse_with_recovery()", true, true};
inline constexpr Signature kParserNewSignature{"Parser.__new__()", false, true};
inline constexpr Signature kParserParseSignature{"Parser.parse()", true, false};
inline constexpr Signature kParserParseWithRecoverySignature{"Parser.parse_with_recovery()", true, false};

struct Arguments {
    // The UTF-8 bytes of `input`: the str's own bytes when it is ASCII (valid while the caller holds the
    // str), otherwise `owned_input`.
    const char* input = nullptr;
    Py_ssize_t input_size = 0;
    std::unique_ptr<char[]> owned_input;
    quillet::Profile profile = quillet::Profile::Quillet;
};

// METH_FASTCALL | METH_KEYWORDS convention: `nargs` positional arguments in `args`, followed by the values
// of the keywords named in `kwnames` (a tuple, or null). Returns false with a TypeError (or the encoding
// error of `input`) set.
bool parse_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arguments& out);

// Tuple-and-dict convention, for tp_new.
bool parse_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, Arguments& out);

}  // namespace pyql
