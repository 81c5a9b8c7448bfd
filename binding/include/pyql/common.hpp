// Shared pieces of the pyql extension module: owned references, the table of the module's classes, and the
// constructors each file offers to the others.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "quillet/document.hpp"
#include "quillet/errors.hpp"
#include "quillet/model.hpp"

namespace pyql {

// ------------------------------------------------------------------------------------ owned references

// One owned reference; released when it goes out of scope, so every early return and every C++ exception
// unwinding through a conversion drops what was built so far.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.release()) {}
    Ref& operator=(Ref&& o) noexcept {
        reset(o.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(PyObject* p = nullptr) noexcept {
        PyObject* old = p_;
        p_ = p;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Runs `work` with the GIL released when `units` (characters, bytes) are enough for the release to pay.
// The work reads and writes only memory no other thread changes meanwhile (an immutable str's data, a new
// object nothing else holds yet), touches no Python object otherwise, and throws nothing.
template <class Work>
void released_for(size_t units, Work work) {
    constexpr size_t kReleaseUnits = size_t(1) << 16;
    if (units < kReleaseUnits) {
        work();
        return;
    }
    Py_BEGIN_ALLOW_THREADS;
    work();
    Py_END_ALLOW_THREADS;
}

// Pauses the cycle collector for the lifetime of the object (from Python 3.10 on; a no-op before).
//
// A conversion creates one young object after another, every one of them reachable from the tree being
// built, so no collection started meanwhile can find garbage; yet each would walk the growing tree again,
// which for a large document costs several times the conversion itself. No Python code runs while the
// pause lasts, so nothing else can observe it; a collector the caller had disabled stays disabled.
class GcPause {
public:
#if PY_VERSION_HEX >= 0x030A0000
    GcPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }

private:
    bool was_enabled_;
#else
    GcPause() noexcept {}
#endif
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
};

// A new reference to `o` (Py_NewRef exists only from 3.10 on).
inline PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

// A new reference to `o`, or to None when `o` is null (a stored attribute emptied by the cycle collector).
inline PyObject* new_ref_or_none(PyObject* o) {
    return new_ref(o != nullptr ? o : Py_None);
}

// ------------------------------------------------------------------------------ the collector's tracking
//
// A parsed tree holds no reference cycle, and its nodes' attributes are read-only: only the stored lists
// (and the metadata, which stays tracked) can be changed, and a caller reaches a list only through its
// node's getter or __reduce__. So the nodes that hold a list, and their lists, are born untracked: a tree
// costs the cycle collector nothing until Python code walks it. hand_out() is the one way a stored
// container leaves its node: it tracks the container and the node that holds it, the only objects a
// caller can then put on a cycle. (gc.get_referents reaches a list without a getter: a list met that way
// and put on a cycle is never collected.)

// Untracks a node or list being built; `obj` may be anything.
inline void born_untracked(PyObject* obj) {
    if (obj != nullptr && PyObject_IS_GC(obj)) PyObject_GC_UnTrack(obj);
}

// Tracks `container` (a stored list or dict, or null) and `holder`, the object that stores it.
inline void hand_out(PyObject* holder, PyObject* container) {
    if (container == nullptr) return;
    if (PyObject_IS_GC(container) && !PyObject_GC_IsTracked(container)) PyObject_GC_Track(container);
    if (PyObject_IS_GC(holder) && !PyObject_GC_IsTracked(holder)) PyObject_GC_Track(holder);
}

// ------------------------------------------------------------------------------------- the classes

// The module's classes, in the order they are registered on the module.
enum TypeId : int {
    kSpan,
    kProfile,
    kModuleKind,
    kParser,
    kDocument,
    kParseResult,
    kParseErrorKind,
    kParseError,
    kHeading,
    kParagraph,
    kList,
    kListItem,
    kListKind,
    kCodeBlock,
    kCallout,
    kQuote,
    kFigure,
    kTable,
    kTableRow,
    kTableCell,
    kFootnotes,
    kFootnoteDef,
    kMathBlock,
    kThematicBreak,
    kHtmlBlock,
    kRawBlock,
    kText,
    kEmphasis,
    kStrong,
    kStrikethrough,
    kCodeSpan,
    kLink,
    kAutoLink,
    kFootnoteRef,
    kHardBreak,
    kSoftBreak,
    kTypeCount,
};

// The class of each node type: the node classes are registered in the model's order, with ListKind between
// ListItem and CodeBlock.
constexpr TypeId type_id(quillet::NodeType type) {
    return TypeId(kHeading + int(type) + (type > quillet::NodeType::ListItem ? 1 : 0));
}
static_assert(type_id(quillet::NodeType::ListItem) == kListItem &&
              type_id(quillet::NodeType::CodeBlock) == kCodeBlock &&
              type_id(quillet::NodeType::SoftBreak) == kSoftBreak && kSoftBreak + 1 == kTypeCount);

// The node type of a class, or nothing for the classes that are not nodes.
constexpr std::optional<quillet::NodeType> node_type_of(TypeId id) {
    if (id < kHeading || id == kListKind || id >= kTypeCount) return std::nullopt;
    return quillet::NodeType(id - kHeading - (id > kListKind ? 1 : 0));
}

// The flags of every class. From Python 3.10 on the classes are immutable, as CPython's own are: a member,
// method or __new__ replaced from Python code would silently change every later parse, comparison and
// construction in the process.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned int kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned int kTypeFlags = Py_TPFLAGS_DEFAULT;
#endif

// The type objects, created once by the module initialisation (module.cpp) and kept for the process.
extern PyTypeObject* g_types[kTypeCount];

inline PyTypeObject* type_of(TypeId id) {
    return g_types[id];
}

// Each file hands out the type definitions of the classes it defines (nullptr for the others).
PyType_Spec* result_type_def(TypeId id);  // results.cpp: Span, ParseResult, ParseError
PyType_Spec* enum_type_def(TypeId id);    // enums.cpp: Profile, ModuleKind, ParseErrorKind, ListKind
PyType_Spec* node_type_def(TypeId id);    // nodes.cpp: Document and the 27 node classes

// Puts the members of an enumeration class in its dictionary once its type exists (the class is already
// immutable then); 0 on success, -1 with an exception.
int enum_add_members(TypeId id, PyTypeObject* type);

// --------------------------------------------------------------------------------- shared slot functions

// The class name without the "builtins." prefix every class is created under.
const char* bare_type_name(PyTypeObject* type);

// tp_new of every class that Python code may not construct.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// tp_dealloc of the classes that hold no Python objects.
void plain_dealloc(PyObject* self);

// tp_dealloc of the classes that take part in the cycle collector: untrack, then inside the trashcan (which
// keeps the deallocation of a deep tree from recursing without bound) release what the object holds, free
// it and release its heap type. `Release` drops the object's references and anything else it owns.
template <void (*Release)(PyObject*)>
void gc_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // clang-format off: the trashcan macros open and close a block; a deallocation they defer comes back
    // here later, so the type is released inside the block
    Py_TRASHCAN_BEGIN(self, gc_dealloc<Release>) Release(self);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
    // clang-format on
}

// --------------------------------------------------------------------------------------- pickling.cpp

// __reduce__ and __reduce_ex__ of every class, and a method table holding only them. pickle and copy call
// __reduce_ex__ first: defined, it spares them object.__reduce_ex__'s look-up of __reduce__ on every node.
PyObject* pickle_reduce(PyObject* self, PyObject*);
PyObject* pickle_reduce_ex(PyObject* self, PyObject* protocol);
extern PyMethodDef kPickleMethods[];
// copy.copy's result for an image source (what a tree that pickles as an image reduces to): a new object
// with the values of its tree, holding the same lists. Null with no exception set when `source` is not an
// image source; null with an exception on failure.
PyObject* copy_of_image_source(PyObject* source) noexcept;

// ------------------------------------------------------------------------------------------ enums.cpp

// A new instance of an enumeration class holding `value`.
PyObject* new_enum(TypeId id, uint8_t value);

// The value of an instance of any enumeration class.
uint8_t enum_value(PyObject* member);

// The bare member name of `value` in an enumeration class ("MdStrict"), or "?" when out of range.
const char* enum_member_name(TypeId id, uint8_t value);

// ---------------------------------------------------------------------------------------- results.cpp

PyObject* new_span(quillet::Span span);
PyObject* new_parse_error(const quillet::ParseError& error);
// Takes over `document` (a Document object; the reference is consumed even on failure) and the errors.
PyObject* new_parse_result(PyObject* document, std::vector<quillet::ParseError>&& errors);

// ------------------------------------------------------------------------------------------ nodes.cpp

// A block as a new node; a container whose parts were converted one by one as they came takes `parts`
// (borrowed, a list) as its children instead of converting its own.
PyObject* convert_block(const quillet::Block& block, PyObject* parts = nullptr);
PyObject* convert_list_item(const quillet::ListItem& item);
PyObject* convert_table_row(const quillet::TableRow& row);
PyObject* convert_footnote_def(const quillet::FootnoteDef& def);
// A Document object for `document` (whose own blocks are ignored) holding `blocks`, a list consumed even
// on failure. A document with a metadata block holds `metadata` (borrowed, a dict: the entries its
// streamed parse took; none when null).
PyObject* new_document(const quillet::Document& document, PyObject* blocks, PyObject* metadata = nullptr);
// The Python value of one metadata value text: a bool, int, float, str or list.
PyObject* read_metadata_value(std::string_view text);
PyObject* convert_blocks(const quillet::Blocks& blocks);
// The nodes as a new list. Inlines::taken() views carry the list they were converted into as their token.
PyObject* convert_inlines(const quillet::Inlines& inlines);
// Appends the nodes of `batch`, converted, to `list`; false with an exception set on failure.
bool append_inlines(PyObject* list, const quillet::Inlines& batch);

// The current length of a Document object's stored block list.
Py_ssize_t document_block_count(PyObject* document);

}  // namespace pyql
