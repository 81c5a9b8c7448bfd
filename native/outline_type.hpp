// quillet._native.Outline: the outline of a document (writers/outline.hpp) as a Python object, and
// outline(), which builds one from a str (parsed with the GIL released) or a tree of pyql objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "outline.hpp"

namespace quillet_native {

// The object's layout: what other files of the module (the tools' native builders) read.
struct OutlineObject {
    PyObject_HEAD;
    quillet::writers::Outline* outline;  // owned; never changed once the object is made
};

// The Outline type, or null before add_outline ran; whether `obj` is an Outline.
PyTypeObject* outline_type();
inline bool is_outline(PyObject* obj) {
    return outline_type() != nullptr && Py_TYPE(obj) == outline_type();
}
inline const quillet::writers::Outline& outline_of(PyObject* obj) {
    return *reinterpret_cast<OutlineObject*>(obj)->outline;
}

// The columns of an outline by name: what Outline.column gives and what records reads beside its own keys.
// A class's own field ("level", "lang", ...) is a column too (OutlineColumn::Field), found in the model.
enum class OutlineColumn : uint8_t {
    Index,
    Type,
    Depth,
    Parent,
    ByteStart,
    ByteEnd,
    CharStart,
    CharEnd,
    Line,
    EndLine,
    Col,
    HeadingTitle,
    Section,
    Rows,
    Cols,
    Text,
    Rendered,
    Field,
};
// How a column's values are typed: integers, or texts (None where a row has no value).
enum class ColumnValue : uint8_t { Int, Str };
struct OutlineColumnName {
    std::string_view name;
    OutlineColumn column;
    ColumnValue value;
};
inline constexpr OutlineColumnName kOutlineColumns[] = {
    {"index", OutlineColumn::Index, ColumnValue::Int},
    {"type", OutlineColumn::Type, ColumnValue::Str},
    {"depth", OutlineColumn::Depth, ColumnValue::Int},
    {"parent", OutlineColumn::Parent, ColumnValue::Int},
    {"byte_start", OutlineColumn::ByteStart, ColumnValue::Int},
    {"byte_end", OutlineColumn::ByteEnd, ColumnValue::Int},
    {"char_start", OutlineColumn::CharStart, ColumnValue::Int},
    {"char_end", OutlineColumn::CharEnd, ColumnValue::Int},
    {"line", OutlineColumn::Line, ColumnValue::Int},
    {"end_line", OutlineColumn::EndLine, ColumnValue::Int},
    {"column", OutlineColumn::Col, ColumnValue::Int},
    {"heading_title", OutlineColumn::HeadingTitle, ColumnValue::Str},
    {"section", OutlineColumn::Section, ColumnValue::Int},
    {"rows", OutlineColumn::Rows, ColumnValue::Int},
    {"cols", OutlineColumn::Cols, ColumnValue::Int},
    {"text", OutlineColumn::Text, ColumnValue::Str},
    {"rendered", OutlineColumn::Rendered, ColumnValue::Str},
};
// The entry of kOutlineColumns named `name`, or null (a field's name is not in it).
inline const OutlineColumnName* outline_column_named(std::string_view name) {
    for (const OutlineColumnName& c : kOutlineColumns) {
        if (c.name == name) return &c;
    }
    return nullptr;
}

// Whether `outline` (an Outline object) keeps its rows' plain text (plain=True), and its top-level rows'
// renderings (render=).
bool outline_has_plain(PyObject* outline);
bool outline_has_render(PyObject* outline);

// Registers the Outline type on `module`; 0, or -1 with an exception set.
int add_outline(PyObject* module);

// outline(source, /, *, profile=None, text=None, plain=False, render=None) -> Outline.
PyObject* outline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kOutlineDoc;

// section_tree(outline, make, nodes, total, length) -> list: the sections of quillet.sections.
PyObject* section_tree(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
extern const char* const kSectionTreeDoc;

// links_to_check(outline, data) -> list: the links of outline.links() that the checks must look at.
PyObject* links_to_check(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
extern const char* const kLinksToCheckDoc;

}  // namespace quillet_native
