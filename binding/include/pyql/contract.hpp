// The contract between pyql and quillet._native, the one module that reads and builds pyql's objects.
//
// quillet._native reads the objects' fields straight from memory and makes objects of pyql's classes with
// the layouts of layouts.hpp, so the two modules must have been compiled from the same definitions, by the
// same standard library, for the same Python. Both compile kLayoutFingerprint below, a hash of every size,
// offset and text place they share; pyql exports its value in the symbol `pyql_contract` of its shared
// object, not on the module (whose contents are fixed: no attribute is added to it or to any class), and
// quillet._native, once per process, finds the symbol with dlsym in the file pyql was loaded from and
// refuses with ImportError a pyql whose fingerprint differs from its own.
//
// Nothing allocated by one module is freed by the other: what holds C++ memory of pyql's (a ParseResult's
// errors) is built by pyql, through the functions of the contract.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "layouts.hpp"
#include "pickled.hpp"
#include "quillet/document.hpp"
#include "quillet/errors.hpp"

namespace pyql {

// ------------------------------------------------------------------------------------- the fingerprint

namespace fingerprint {

// FNV-1a, one 64-bit value at a time.
constexpr uint64_t mix(uint64_t hash, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        hash ^= (value >> (8 * i)) & 0xff;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

constexpr uint64_t mix(uint64_t hash, std::string_view text) {
    hash = mix(hash, text.size());
    for (char c : text) hash = mix(hash, static_cast<unsigned char>(c));
    return hash;
}

// A struct's size and alignment, then the offsets of its members in declaration order.
template <class T, class... Offsets>
constexpr uint64_t mix_struct(uint64_t hash, Offsets... offsets) {
    hash = mix(mix(hash, sizeof(T)), alignof(T));
    ((hash = mix(hash, offsets)), ...);
    return hash;
}

constexpr uint64_t layouts() {
    uint64_t h = 0xcbf29ce484222325ull;
    // The Python the objects are laid out for: its version and its object header.
    h = mix(h, PY_VERSION_HEX & 0xffff0000u);
    h = mix_struct<PyObject>(h);
    h = mix_struct<PyVarObject>(h);
    // The standard library behind the errors a ParseResult holds, which quillet._native reads in place.
    h = mix_struct<std::vector<quillet::ParseError>>(h);
    h = mix_struct<std::string>(h);
    h = mix_struct<quillet::ParseError>(h, sizeof(quillet::ParseError::message), sizeof(quillet::ParseError::span),
                                        sizeof(quillet::ParseError::recoverable), sizeof(quillet::ParseError::kind));
    // Every layout of layouts.hpp.
    h = mix_struct<TextRef>(h, offsetof(TextRef, offset), offsetof(TextRef, size));
    h = mix_struct<NodeHead>(h, offsetof(NodeHead, start), offsetof(NodeHead, end));
    h = mix_struct<ListNode>(h, offsetof(ListNode, h), offsetof(ListNode, list));
    h = mix_struct<TextNode1>(h, offsetof(TextNode1, text));
    h = mix_struct<TextNode2>(h, offsetof(TextNode2, text));
    h = mix_struct<TextNode3>(h, offsetof(TextNode3, text));
    h = mix_struct<ListTextNode1>(h, offsetof(ListTextNode1, n), offsetof(ListTextNode1, text));
    h = mix_struct<ListTextNode2>(h, offsetof(ListTextNode2, n), offsetof(ListTextNode2, text));
    h = mix_struct<HeadingObject>(h, offsetof(HeadingObject, level));
    h = mix_struct<TableRowObject>(h, offsetof(TableRowObject, header));
    h = mix_struct<ListObject>(h, offsetof(ListObject, start), offsetof(ListObject, kind),
                               offsetof(ListObject, has_start));
    h = mix_struct<MathBlockObject>(h, offsetof(MathBlockObject, display), offsetof(MathBlockObject, text));
    h = mix_struct<DocumentObject>(h, offsetof(DocumentObject, metadata), offsetof(DocumentObject, blocks),
                                   offsetof(DocumentObject, profile));
    h = mix_struct<SpanObject>(h, offsetof(SpanObject, start), offsetof(SpanObject, end));
    h = mix_struct<ParseErrorObject>(h, offsetof(ParseErrorObject, start), offsetof(ParseErrorObject, end),
                                     offsetof(ParseErrorObject, kind), offsetof(ParseErrorObject, has_span),
                                     offsetof(ParseErrorObject, recoverable));
    h = mix_struct<ParseResultObject>(h, offsetof(ParseResultObject, document), offsetof(ParseResultObject, errors));
    h = mix_struct<EnumObject>(h, offsetof(EnumObject, value));
    h = mix_struct<ParserObject>(h, offsetof(ParserObject, profile));
    // The named text places.
    for (uint64_t place : {uint64_t(kCodeLang), uint64_t(kCodeContent), uint64_t(kCalloutKind), uint64_t(kCalloutTitle),
                           uint64_t(kFigureSrc), uint64_t(kFigureAlt), uint64_t(kFigureCaption), uint64_t(kLinkUrl),
                           uint64_t(kLinkTitle)}) {
        h = mix(h, place);
    }
    // The classes by TypeId (the contract hands them over in that order, pickles name them by it) and
    // where each node keeps its values.
    h = mix(h, uint64_t(kTypeCount));
    for (int i = 0; i < kTypeCount; ++i) {
        const NodeForm f = node_form(static_cast<TypeId>(i));
        h = mix(h, type_name_of(static_cast<TypeId>(i)));
        h = mix(h, f.is_node);
        h = mix(h, f.size);
        h = mix(h, uint64_t(f.extra));
        h = mix(h, f.texts);
        h = mix(h, f.optional);
        h = mix(h, f.text_at);
        h = mix(h, f.list);
    }
    for (const NodeLayout& l : kNodeLayouts) {
        h = mix(h, uint64_t(l.size));
        h = mix(h, l.text_offset);
        h = mix(h, l.flag_offset);
        h = mix(h, l.holds_list);
    }
    // The members of the Contract below, which quillet._native reads once the fingerprint matches.
    h = mix(h, std::string_view("fingerprint types new_result copy_of_image_source"));
    // The value ranges of the enumerations the objects store as bytes.
    h = mix(h, uint64_t(quillet::Profile::MdStrict));
    h = mix(h, uint64_t(quillet::ModuleKind::Html));
    h = mix(h, uint64_t(quillet::ParseErrorKind::Other));
    h = mix(h, uint64_t(quillet::ListKind::Unordered));
    return h;
}

}  // namespace fingerprint

inline constexpr uint64_t kLayoutFingerprint = fingerprint::layouts();

// ------------------------------------------------------------------------------------------ the contract

// What pyql exports. `fingerprint` comes first and stays first in every build, so a module built from any
// definitions can read it before it trusts anything else.
struct Contract {
    uint64_t fingerprint;
    // pyql's classes by TypeId; filled once the module is initialised, then kept for the process.
    PyTypeObject* const* types;
    // A new ParseResult of `document` (a Document, or null for none) and `errors` (a tuple of ParseErrors,
    // copied). Null with TypeError for anything else, or MemoryError. Never throws.
    PyObject* (*new_result)(PyObject* document, PyObject* errors) noexcept;
    // copy.copy's result for the image source a tree that pickles as an image reduces to (rebuild_image
    // gets it from copy.copy): a new object holding the same lists. Null with no exception set for any
    // other object. Never throws.
    PyObject* (*copy_of_image_source)(PyObject* source) noexcept;
};

// The name of the exported Contract in pyql's shared object.
inline constexpr char kContractSymbol[] = "pyql_contract";

}  // namespace pyql
