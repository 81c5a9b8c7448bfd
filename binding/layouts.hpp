// The memory layouts of pyql's objects, shared by the two extension modules: pyql builds its objects with
// them, and quillet._native reads those objects' fields straight from memory with the same definitions.
//
// A change here changes both modules at once; quillet._native checks each class's tp_basicsize against
// the layout it expects before it reads an object, so a pyql built from other definitions is refused
// instead of misread.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quillet/errors.hpp"

namespace pyql {

// ------------------------------------------------------------------------------------------- nodes

// Where one text attribute's bytes sit: `size` bytes at `offset` from the start of the object; size -1
// stands for an absent optional text, which reads as None.
struct TextRef {
    Py_ssize_t offset;
    Py_ssize_t size;
};

// The start of every node and of Document. ob_size counts the bytes that follow the fixed part.
struct NodeHead {
    PyVarObject ob_base;
    uint32_t start;
    uint32_t end;
};

// A node with one stored list: content, blocks, items, rows, cells, defs or (for Link) label. The list
// is null only once the cycle collector has cleared the node.
struct ListNode {
    NodeHead h;
    PyObject* list;
};

template <size_t N>
struct TextNode {
    NodeHead h;
    TextRef text[N];
};

template <size_t N>
struct ListTextNode {
    ListNode n;
    TextRef text[N];
};

struct HeadingObject {
    ListNode n;
    uint8_t level;
};

struct TableRowObject {
    ListNode n;
    bool header;
};

struct ListObject {
    ListNode n;
    uint64_t start;
    uint8_t kind;
    bool has_start;
};

struct MathBlockObject {
    NodeHead h;
    bool display;
    TextRef text[1];
};

// The module bytes of `modules` follow the fixed part (ob_size of them).
struct DocumentObject {
    NodeHead h;
    PyObject* metadata;  // a dict, or null when the document has no metadata block
    PyObject* blocks;
    uint8_t profile;
};

// The places of the texts behind the nodes that hold more than one; their getters, their converters and
// their readers all go by these names.
enum CodeBlockText : size_t { kCodeLang, kCodeContent };
enum CalloutText : size_t { kCalloutKind, kCalloutTitle };
enum FigureText : size_t { kFigureSrc, kFigureAlt, kFigureCaption };
enum LinkText : size_t { kLinkUrl, kLinkTitle };

using TextNode1 = TextNode<1>;
using TextNode2 = TextNode<2>;
using TextNode3 = TextNode<3>;
using ListTextNode1 = ListTextNode<1>;
using ListTextNode2 = ListTextNode<2>;

// ------------------------------------------------------------------------------------------- values

struct SpanObject {
    PyObject ob_base;
    uint32_t start;
    uint32_t end;
};

// The message's UTF-8 bytes follow the fixed part; Py_SIZE is their count.
struct ParseErrorObject {
    PyVarObject ob_base;
    uint32_t start;
    uint32_t end;
    uint8_t kind;
    bool has_span;
    bool recoverable;
};

// Holds the Document object and the errors as plain values; every read of `errors` makes new objects.
struct ParseResultObject {
    PyObject ob_base;
    PyObject* document;
    std::vector<quillet::ParseError>* errors;  // owned; null only in a half-built object
};

// An instance of any enumeration class (Profile, ModuleKind, ParseErrorKind, ListKind).
struct EnumObject {
    PyObject ob_base;
    uint8_t value;
};

struct ParserObject {
    PyObject ob_base;
    uint8_t profile;
};

}  // namespace pyql
