#include "outline_type.hpp"

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "call.hpp"
#include "convert.hpp"
#include "facts.hpp"
#include "formats.hpp"
#include "quillet/utf8.hpp"

namespace quillet_native {
namespace {

using quillet::NodeType;
using quillet::writers::kNoRow;
using quillet::writers::Outline;
using quillet::writers::OutlineRow;
using quillet::writers::PoolText;

PyTypeObject* g_outline_type = nullptr;

PyObject* pool_str(const Outline& o, const PoolText& t) {
    if (!t.present()) return pyql::new_ref(Py_None);
    const std::string_view s = o.view(t);
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
}

// A position that needs the text (characters, lines, columns): None when the outline does not know it.
PyObject* placed(const Outline& o, uint64_t v) {
    return o.has_text ? PyLong_FromUnsignedLongLong(v) : pyql::new_ref(Py_None);
}

PyObject* row_or_none(uint32_t row) {
    return row == kNoRow ? pyql::new_ref(Py_None) : PyLong_FromUnsignedLongLong(row);
}

// The class names, made once: the values of the "type" column.
PyObject* type_names[quillet::kNodeTypeCount] = {};

PyObject* class_name(NodeType type) {
    PyObject*& name = type_names[size_t(type)];
    if (name == nullptr) {
        const std::string_view text = quillet::type_name(type);
        name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (name == nullptr) return nullptr;
        PyUnicode_InternInPlace(&name);
    }
    return pyql::new_ref(name);
}

// One value of a class's own field `name`, None when the row's class has no such field.
PyObject* field_value(const Outline& o, const OutlineRow& row, std::string_view name) {
    using quillet::FieldType;
    const quillet::NodeInfo& info = quillet::node_info(row.type);
    size_t place = 0;
    for (const quillet::FieldInfo& f : info) {
        if (f.name == name && f.type != FieldType::Children) {
            switch (f.type) {
                case FieldType::Text:
                case FieldType::OptText:
                    return place < quillet::writers::kMaxRowTexts ? pool_str(o, row.texts[place])
                                                                  : pyql::new_ref(Py_None);
                case FieldType::Level:
                    return PyLong_FromLong(row.level);
                case FieldType::Kind: {
                    const std::string_view member = quillet::kListKindMembers[size_t(row.list_kind)];
                    return PyUnicode_FromStringAndSize(member.data(), static_cast<Py_ssize_t>(member.size()));
                }
                case FieldType::Start:
                    return row.list_start ? PyLong_FromUnsignedLongLong(*row.list_start) : pyql::new_ref(Py_None);
                case FieldType::Flag:
                    return PyBool_FromLong(row.flag);
                case FieldType::Children:
                    break;
            }
        }
        place += f.is_text() ? 1 : 0;
    }
    return pyql::new_ref(Py_None);
}

bool is_field_name(std::string_view name) {
    for (const quillet::NodeInfo& info : quillet::kNodeInfo) {
        if (info.role == quillet::NodeRole::Inline) continue;
        for (const quillet::FieldInfo& f : info) {
            if (f.name == name && f.type != quillet::FieldType::Children) return true;
        }
    }
    return false;
}

using Column = OutlineColumn;

PyObject* value(const Outline& o, const OutlineRow& row, Column column, std::string_view name) {
    const bool table = row.type == NodeType::Table;
    switch (column) {
        case Column::Index:  // the caller knows the row's index
        case Column::Type:
            return class_name(row.type);
        case Column::Depth:
            return PyLong_FromUnsignedLong(row.depth);
        case Column::Parent:
            return row_or_none(row.parent);
        case Column::ByteStart:
            return PyLong_FromUnsignedLongLong(row.start);
        case Column::ByteEnd:
            return PyLong_FromUnsignedLongLong(row.end);
        case Column::CharStart:
            return placed(o, row.char_start);
        case Column::CharEnd:
            return placed(o, row.char_end);
        case Column::Line:
            return placed(o, row.line);
        case Column::EndLine:
            return placed(o, row.end_line);
        case Column::Col:
            return placed(o, row.column);
        case Column::HeadingTitle:
            return pool_str(o, row.title);
        case Column::Section:
            return row_or_none(row.section);
        case Column::Rows:
            return table ? PyLong_FromUnsignedLong(row.table_rows) : pyql::new_ref(Py_None);
        case Column::Cols:
            return table ? PyLong_FromUnsignedLong(row.table_cols) : pyql::new_ref(Py_None);
        case Column::Text:
            return pool_str(o, row.plain);
        case Column::Rendered:
            return pool_str(o, row.rendered);
        case Column::Field:
            return field_value(o, row, name);
    }
    return pyql::new_ref(Py_None);
}

struct Options {
    bool plain = false;
    Outline::Render render = Outline::Render::None;
    bool top_only = false;
    bool inline_facts = false;
};

Options& options_of(PyObject* self);

// Outline.column(name, top=False) -> list
PyObject* outline_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    PyObject* name_arg = nargs > 0 ? args[0] : nullptr;
    PyObject* top_arg = nargs > 1 ? args[1] : nullptr;
    PyObject* type_arg = nullptr;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(key, "top") == 0 && top_arg == nullptr) {
            top_arg = args[nargs + i];
        } else if (PyUnicode_CompareWithASCIIString(key, "type") == 0) {
            type_arg = args[nargs + i];
        } else if (PyUnicode_CompareWithASCIIString(key, "name") == 0 && name_arg == nullptr) {
            name_arg = args[nargs + i];
        } else {
            PyErr_Format(PyExc_TypeError, "column() got an unexpected keyword argument %R", key);
            return nullptr;
        }
    }
    if (nargs > 2 || name_arg == nullptr || !PyUnicode_Check(name_arg)) {
        PyErr_SetString(PyExc_TypeError, "column(name: str, top: bool = False, *, type: str | None = None)");
        return nullptr;
    }
    const int top = top_arg == nullptr ? 0 : PyObject_IsTrue(top_arg);
    if (top < 0) return nullptr;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name_arg, &size);
    if (text == nullptr) return nullptr;
    const std::string_view name(text, static_cast<size_t>(size));
    std::optional<Column> column;
    if (const OutlineColumnName* named = outline_column_named(name)) column = named->column;
    if (!column && is_field_name(name)) column = Column::Field;
    if (!column) {
        PyErr_Format(PyExc_ValueError, "no column %R in an outline", name_arg);
        return nullptr;
    }
    const Options& options = options_of(self);
    if ((*column == Column::Text && !options.plain) ||
        (*column == Column::Rendered && options.render == Outline::Render::None)) {
        PyErr_Format(PyExc_ValueError, "the column %R needs an outline built with %s", name_arg,
                     *column == Column::Text ? "plain=True" : "render=");
        return nullptr;
    }
    std::optional<NodeType> only;
    if (type_arg != nullptr && type_arg != Py_None) {
        for (size_t t = 0; t < quillet::kNodeTypeCount && PyUnicode_Check(type_arg); ++t) {
            const std::string_view class_name = quillet::type_name(NodeType(t));
            if (PyUnicode_CompareWithASCIIString(type_arg, std::string(class_name).c_str()) == 0) only = NodeType(t);
        }
        if (!only) {
            PyErr_Format(PyExc_ValueError, "type must be a node class's name, not %R", type_arg);
            return nullptr;
        }
    }
    const Outline& o = outline_of(self);
    // With a class named, only its rows are read (each class's rows are listed apart); a top-level one among
    // them is at depth 0.
    const std::vector<uint32_t>* rows = only ? &o.by_type[size_t(*only)] : top ? &o.top : nullptr;
    const size_t count = rows ? rows->size() : o.rows.size();
    Ref list(PyList_New(only ? 0 : static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t index = rows ? (*rows)[i] : uint32_t(i);
        const OutlineRow& row = o.rows[index];
        if (only && top && row.depth != 0) continue;
        PyObject* v = *column == Column::Index ? PyLong_FromUnsignedLong(index) : value(o, row, *column, name);
        if (v == nullptr) return nullptr;
        if (only) {
            const int failed = PyList_Append(list.get(), v);
            Py_DECREF(v);
            if (failed) return nullptr;
        } else {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
        }
    }
    return list.release();
}

PyObject* refs_list(const Outline& o, const std::vector<quillet::writers::OutlineRef>& refs, bool links) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(refs.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < refs.size(); ++i) {
        const auto& r = refs[i];
        PyObject* item =
            links ? Py_BuildValue("(NKKKO)", pool_str(o, r.text), (unsigned long long)r.start,
                                  (unsigned long long)r.end, (unsigned long long)r.row, r.autolink ? Py_True : Py_False)
                  : Py_BuildValue("(NKKK)", pool_str(o, r.text), (unsigned long long)r.start, (unsigned long long)r.end,
                                  (unsigned long long)r.row);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// Whether a URL may hold a mistyped scheme: after the control characters and spaces (a line feed aside)
// that may lead it, a word that starts with a letter and goes on with letters, digits, '+', '-' or '.' is
// followed by ':', ';', ',' or '/', unless that word is one of the known schemes, followed by ':' and then
// neither by one slash alone nor by three. A non-ASCII character counts as a letter of the word (a few
// match one without regard to case), so that every URL the checks' own pattern may find is among them.
bool scheme_suspect(std::string_view url, const std::vector<std::string>& schemes) {
    size_t i = 0;
    while (i < url.size() && static_cast<unsigned char>(url[i]) <= 0x20 && url[i] != '\n') ++i;
    const auto letter = [](unsigned char c) { return c >= 0x80 || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); };
    if (i == url.size() || !letter(static_cast<unsigned char>(url[i]))) return false;
    const size_t word = i;
    bool ascii = true;
    for (; i < url.size(); ++i) {
        const auto c = static_cast<unsigned char>(url[i]);
        if (c >= 0x80) {
            ascii = false;
        } else if (!letter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') {
            break;
        }
    }
    if (i == url.size()) return false;
    const char next = url[i];
    if (next == ';' || next == ',' || next == '/') return true;
    if (next != ':') return false;
    if (!ascii) return true;
    const std::string_view name = url.substr(word, i - word);
    bool known = false;
    for (const std::string& scheme : schemes) {
        if (scheme.size() != name.size()) continue;
        size_t k = 0;
        while (k < name.size() && (name[k] | 0x20) == scheme[k]) ++k;
        if (k == name.size()) known = true;
    }
    if (!known) return true;
    const std::string_view after = url.substr(i + 1);
    const bool one_slash = !after.empty() && after[0] == '/' && (after.size() == 1 || after[1] != '/');
    return one_slash || after.substr(0, 3) == "///";
}

bool blank_url(std::string_view url) {
    for (size_t i = 0; i < url.size();) {
        size_t length = 0;
        if (!quillet::writers::is_python_space(quillet::read_utf8(url, i, length))) return false;
        i += length;
    }
    return true;
}

PyObject* outline_footnote_refs(PyObject* self, PyObject*) {
    const Outline& o = outline_of(self);
    return refs_list(o, o.footnote_refs, false);
}

PyObject* outline_links(PyObject* self, PyObject*) {
    const Outline& o = outline_of(self);
    return refs_list(o, o.links, true);
}

PyObject* outline_unopened_links(PyObject* self, PyObject*) {
    const Outline& o = outline_of(self);
    Ref list(PyList_New(static_cast<Py_ssize_t>(o.unopened_links.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < o.unopened_links.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLong(o.unopened_links[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* outline_footnote_defs(PyObject* self, PyObject*) {
    const Outline& o = outline_of(self);
    Ref list(PyList_New(static_cast<Py_ssize_t>(o.footnote_defs.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < o.footnote_defs.size(); ++i) {
        const auto& d = o.footnote_defs[i];
        PyObject* item =
            Py_BuildValue("(NKKKNN)", pool_str(o, d.text), (unsigned long long)d.start, (unsigned long long)d.end,
                          (unsigned long long)d.row, placed(o, d.char_start), placed(o, d.char_end));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* outline_figures(PyObject* self, PyObject*) {
    const Outline& o = outline_of(self);
    return refs_list(o, o.figures, false);
}

PyObject* outline_code_spans(PyObject* self, PyObject*) {
    const Outline& o = outline_of(self);
    Ref list(PyList_New(static_cast<Py_ssize_t>(o.code_spans.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < o.code_spans.size(); ++i) {
        const auto& c = o.code_spans[i];
        PyObject* item =
            Py_BuildValue("(KKK)", (unsigned long long)c.start, (unsigned long long)c.end, (unsigned long long)c.row);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* outline_errors(PyObject* self, PyObject*) {
    const Outline& o = outline_of(self);
    Ref list(PyList_New(static_cast<Py_ssize_t>(o.errors.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < o.errors.size(); ++i) {
        const auto& e = o.errors[i];
        Ref span(e.span ? Py_BuildValue("(kk)", (unsigned long)e.span->start, (unsigned long)e.span->end)
                        : pyql::new_ref(Py_None));
        if (!span) return nullptr;
        PyObject* item = Py_BuildValue("(is#s#O)", int(e.kind), e.code.data(), Py_ssize_t(e.code.size()),
                                       e.message.data(), Py_ssize_t(e.message.size()), span.get());
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// The path of each top-level heading, in order, with its row: the titles of the headings whose sections
// hold it, outermost first, ending with its own; a heading's path extends that of the open heading of a
// lower level. The one rule of heading paths (sections, chunks and records read it); false on an error.
bool heading_path_list(const Outline& o, std::vector<std::pair<uint32_t, Ref>>& paths) {
    std::vector<std::pair<uint8_t, PyObject*>> open;  // (level, path) of the open sections; `paths` holds them
    for (const uint32_t index : o.by_type[size_t(NodeType::Heading)]) {
        const OutlineRow& row = o.rows[index];
        if (row.depth != 0) continue;
        while (!open.empty() && open.back().first >= row.level) open.pop_back();
        PyObject* outer = open.empty() ? nullptr : open.back().second;
        const Py_ssize_t n = outer == nullptr ? 0 : PyTuple_GET_SIZE(outer);
        Ref path(PyTuple_New(n + 1));
        if (!path) return false;
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(path.get(), i, pyql::new_ref(PyTuple_GET_ITEM(outer, i)));
        PyObject* title = pool_str(o, row.title);
        if (title == nullptr) return false;
        PyTuple_SET_ITEM(path.get(), n, title);
        open.emplace_back(row.level, path.get());
        paths.emplace_back(index, std::move(path));
    }
    return true;
}

// {row: path} for each top-level heading.
PyObject* outline_heading_paths(PyObject* self, PyObject*) {
    std::vector<std::pair<uint32_t, Ref>> list;
    if (!heading_path_list(outline_of(self), list)) return nullptr;
    Ref paths(PyDict_New());
    if (!paths) return nullptr;
    for (const auto& [row, path] : list) {
        Ref key(PyLong_FromUnsignedLong(row));
        if (!key || PyDict_SetItem(paths.get(), key.get(), path.get()) < 0) return nullptr;
    }
    return paths.release();
}

PyObject* outline_header(PyObject* self, PyObject*) {
    const Outline& o = outline_of(self);
    if (!o.has_text) Py_RETURN_NONE;
    return header_tuple(o.header_text);
}

// The object with the options it was built with.
struct Object {
    OutlineObject head;
    Options options;
};

Options& options_of(PyObject* self) {
    return reinterpret_cast<Object*>(self)->options;
}

void outline_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<OutlineObject*>(self)->outline;
    type->tp_free(self);
    Py_DECREF(type);  // a heap type: each instance holds it
}

Py_ssize_t outline_len(PyObject* self) {
    return static_cast<Py_ssize_t>(outline_of(self).rows.size());
}

PyObject* get_size(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(outline_of(self).size);
}
PyObject* get_length(PyObject* self, void*) {
    const Outline& o = outline_of(self);
    return o.has_text ? PyLong_FromUnsignedLongLong(o.length) : pyql::new_ref(Py_None);
}
PyObject* get_profile(PyObject* self, void*) {
    const std::string_view name = quillet::kProfileNames[size_t(outline_of(self).profile)];
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}
PyObject* get_modules(PyObject* self, void*) {
    const Outline& o = outline_of(self);
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(o.modules.size())));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < o.modules.size(); ++i) {
        const std::string_view name = quillet::kModuleNames[size_t(o.modules[i])];
        PyObject* item = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}
PyObject* get_has_text(PyObject* self, void*) {
    return PyBool_FromLong(outline_of(self).has_text);
}
PyObject* get_top_only(PyObject* self, void*) {
    return PyBool_FromLong(options_of(self).top_only);
}
PyObject* get_inline(PyObject* self, void*) {
    return PyBool_FromLong(!options_of(self).top_only || options_of(self).inline_facts);
}
PyObject* get_plain(PyObject* self, void*) {
    return PyBool_FromLong(options_of(self).plain);
}
PyObject* get_render(PyObject* self, void*) {
    switch (options_of(self).render) {
        case Outline::Render::Text:
            return PyUnicode_FromString("text");
        case Outline::Render::Markdown:
            return PyUnicode_FromString("markdown");
        case Outline::Render::None:
            break;
    }
    Py_RETURN_NONE;
}

template <class F>
PyObject* guarded_call(F f) noexcept {
    return pyql::without_exceptions("quillet._native", f);
}
template <PyObject* (*F)(PyObject*, PyObject*)>
PyObject* method_noargs(PyObject* self, PyObject* arg) noexcept {
    return guarded_call([&] { return F(self, arg); });
}
PyObject* column_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_call([&] { return outline_column(self, args, nargs, kwnames); });
}

PyMethodDef kOutlineMethods[] = {
    {"column", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_entry)), METH_FASTCALL | METH_KEYWORDS,
     "column(name, top=False) -> list: one value per row (per top-level row with top=True)."},
    {"footnote_refs", method_noargs<outline_footnote_refs>, METH_NOARGS,
     "footnote_refs() -> list of (label, byte_start, byte_end, row)."},
    {"links", method_noargs<outline_links>, METH_NOARGS,
     "links() -> list of (url, byte_start, byte_end, row, is_autolink)."},
    {"footnote_defs", method_noargs<outline_footnote_defs>, METH_NOARGS,
     "footnote_defs() -> list of (label, byte_start, byte_end, row, char_start, char_end): the footnote "
     "definitions at any depth (characters None when the text is unknown)."},
    {"figures", method_noargs<outline_figures>, METH_NOARGS,
     "figures() -> list of (src, byte_start, byte_end, row): the figures at any depth."},
    {"code_spans", method_noargs<outline_code_spans>, METH_NOARGS,
     "code_spans() -> list of (byte_start, byte_end, row)."},
    {"unopened_links", method_noargs<outline_unopened_links>, METH_NOARGS,
     "unopened_links() -> list of byte_start: each \"[[\" of the text that no \"]]\" closes, left as text."},
    {"errors", method_noargs<outline_errors>, METH_NOARGS, "errors() -> list of (kind, code, message, span or None)."},
    {"heading_paths", method_noargs<outline_heading_paths>, METH_NOARGS,
     "heading_paths() -> dict: {row: path} for each top-level heading, path the titles of the headings whose "
     "sections hold it, outermost first, ending with its own."},
    {"header", method_noargs<outline_header>, METH_NOARGS,
     "header(): what read_header gives for the text, or None when the text is unknown."},
    {},
};

PyGetSetDef kOutlineGetters[] = {
    {"size", get_size, nullptr, "The input's length in UTF-8 bytes (the document's span end without the text).",
     nullptr},
    {"length", get_length, nullptr, "The text's length in characters, or None when the text is unknown.", nullptr},
    {"profile", get_profile, nullptr, "The profile's name.", nullptr},
    {"modules", get_modules, nullptr, "The names of the modules the document enables.", nullptr},
    {"has_text", get_has_text, nullptr, "Whether the outline knows the text (positions, lines, the header).", nullptr},
    {"top_only", get_top_only, nullptr, "Whether only the top-level blocks have rows.", nullptr},
    {"inline", get_inline, nullptr,
     "Whether the outline has the inline facts (footnote references, links, code spans, unopened links) and the "
     "footnote definitions and figures: every outline but one built top_only without inline=True.",
     nullptr},
    {"plain", get_plain, nullptr, "Whether the rows keep their plain text (the column \"text\").", nullptr},
    {"render", get_render, nullptr, "The format of the top-level rows' renderings, or None.", nullptr},
    {},
};

// Whether `text` is well-formed UTF-8; false with the UnicodeDecodeError that bytes.decode() raises when not.
bool valid_utf8(std::string_view text) {
    if (quillet::is_valid_utf8(text)) return true;
    Ref decoded(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    if (decoded) PyErr_SetString(PyExc_ValueError, "source is not valid UTF-8");
    return false;
}

bool read_render(PyObject* arg, Outline::Render& out) {
    out = Outline::Render::None;
    if (arg == nullptr || arg == Py_None) return true;
    if (PyUnicode_Check(arg)) {
        if (PyUnicode_CompareWithASCIIString(arg, "text") == 0) {
            out = Outline::Render::Text;
            return true;
        }
        if (PyUnicode_CompareWithASCIIString(arg, "markdown") == 0) {
            out = Outline::Render::Markdown;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "render must be None, 'text' or 'markdown', not %R", arg);
    return false;
}

}  // namespace

PyTypeObject* outline_type() {
    return g_outline_type;
}

bool outline_has_plain(PyObject* outline) {
    return options_of(outline).plain;
}

bool outline_has_render(PyObject* outline) {
    return options_of(outline).render != Outline::Render::None;
}

const char* const kOutlineDoc =
    "outline(source, /, *, profile=None, text=None, plain=False, render=None, top_only=False, inline=False) -> "
    "Outline: the outline of source (a str or its UTF-8 bytes, parsed with profile, or a tree of pyql objects parsed "
    "from text).";

const char* const kSectionTreeDoc =
    "section_tree(outline, make, nodes, total, length) -> list: the sections of quillet.sections from the "
    "outline's top-level rows, each made by make(level, title, path, span, start, end, pending, pending, "
    "children), pending (nodes, heading, first, last) the top-level indexes of its heading and own blocks; "
    "total and length end the last sections.";

PyObject* section_tree(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5 || !is_outline(args[0]) || !PyCallable_Check(args[1]) || !PyLong_Check(args[3])) {
        PyErr_SetString(PyExc_TypeError, "section_tree(outline, make, nodes, total, length)");
        return nullptr;
    }
    const Outline& o = outline_of(args[0]);
    PyObject* const make = args[1];
    PyObject* const nodes = args[2];
    PyObject* const total = args[3];
    PyObject* const length = args[4];
    const auto n = static_cast<Py_ssize_t>(o.top.size());
    std::vector<std::pair<uint32_t, Ref>> paths;  // the headings' paths, in order
    if (!heading_path_list(o, paths)) return nullptr;
    std::vector<Py_ssize_t> heads;  // the top-level indexes of the headings
    for (Py_ssize_t t = 0; t < n; ++t) {
        if (o.rows[o.top[size_t(t)]].type == NodeType::Heading) heads.push_back(t);
    }
    if (heads.size() != paths.size()) {  // both are the top-level headings, in order
        PyErr_SetString(PyExc_SystemError, "section_tree(): the headings and their paths differ");
        return nullptr;
    }
    const auto made = [&](PyObject* level, PyObject* title, PyObject* path, PyObject* span, PyObject* start,
                          PyObject* end, PyObject* pending, PyObject* children) -> PyObject* {
        PyObject* argv[] = {level, title, path, span, start, end, pending, pending, children};
        return PyObject_Vectorcall(make, argv, 9, nullptr);
    };
    Ref top(PyList_New(0));
    if (!top) return nullptr;
    Ref zero(PyLong_FromLong(0));
    Ref empty_title(PyUnicode_FromStringAndSize("", 0));
    Ref empty_tuple(PyTuple_New(0));
    if (!zero || !empty_title || !empty_tuple) return nullptr;
    if (heads.empty() || heads[0] != 0) {
        // The blocks before the first heading; the first heading ends it.
        Ref end, cend;
        if (heads.empty()) {
            end = Ref(pyql::new_ref(total));
            cend = Ref(pyql::new_ref(length));
        } else {
            const OutlineRow& first = o.rows[o.top[size_t(heads[0])]];
            end = Ref(PyLong_FromUnsignedLong(first.start));
            cend = Ref(placed(o, first.char_start));
        }
        if (!end || !cend) return nullptr;
        Ref span(PyTuple_Pack(2, zero.get(), end.get()));
        Ref pending(Py_BuildValue("(Onnn)", nodes, Py_ssize_t(-1), Py_ssize_t(0), heads.empty() ? n : heads[0]));
        if (!span || !pending) return nullptr;
        Ref section(made(zero.get(), empty_title.get(), empty_tuple.get(), span.get(),
                         length == Py_None ? Py_None : zero.get(), cend.get(), pending.get(), empty_tuple.get()));
        if (!section || PyList_Append(top.get(), section.get()) < 0) return nullptr;
    }
    // The open sections, outermost first; each ends where the next heading of the same or a higher level starts.
    struct Open {
        uint8_t level;
        Ref level_value, title, path, start, cstart, pending, children;
    };
    std::vector<Open> open;
    // Closes the innermost open section at (end, cend): made, and added to its parent's children.
    const auto close = [&](PyObject* end, PyObject* cend) -> bool {
        Open done = std::move(open.back());
        open.pop_back();
        Ref span(PyTuple_Pack(2, done.start.get(), end));
        Ref children(span ? PyList_AsTuple(done.children.get()) : nullptr);
        if (!children) return false;
        Ref section(made(done.level_value.get(), done.title.get(), done.path.get(), span.get(), done.cstart.get(), cend,
                         done.pending.get(), children.get()));
        return section && PyList_Append(open.empty() ? top.get() : open.back().children.get(), section.get()) == 0;
    };
    for (size_t h = 0; h < heads.size(); ++h) {
        const OutlineRow& row = o.rows[o.top[size_t(heads[h])]];
        Ref start(PyLong_FromUnsignedLong(row.start));
        Ref cstart(placed(o, row.char_start));
        if (!start || !cstart) return nullptr;
        while (!open.empty() && open.back().level >= row.level) {
            if (!close(start.get(), cstart.get())) return nullptr;
        }
        Open section;
        section.level = row.level;
        section.level_value = Ref(PyLong_FromLong(row.level));
        PyObject* path = paths[h].second.get();
        section.path = Ref(pyql::new_ref(path));
        section.title = Ref(pyql::new_ref(PyTuple_GET_ITEM(path, PyTuple_GET_SIZE(path) - 1)));
        if (!section.level_value) return nullptr;
        section.start = std::move(start);
        section.cstart = std::move(cstart);
        section.pending =
            Ref(Py_BuildValue("(Onnn)", nodes, heads[h], heads[h] + 1, h + 1 < heads.size() ? heads[h + 1] : n));
        section.children = Ref(PyList_New(0));
        if (!section.pending || !section.children) return nullptr;
        open.push_back(std::move(section));
    }
    while (!open.empty()) {
        if (!close(total, length)) return nullptr;
    }
    return top.release();
}

const char* const kLinksToCheckDoc =
    "links_to_check(outline, data) -> list: the links of outline.links() (the same tuples, in order) that the "
    "checks must look at: a blank URL, a label that may start blank (data is the text's UTF-8), a URL the "
    "HTML writer refuses or one whose scheme may be mistyped.";

PyObject* links_to_check(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !is_outline(args[0]) || !PyBytes_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "links_to_check(outline, data) takes an Outline and bytes");
        return nullptr;
    }
    const Outline& o = outline_of(args[0]);
    const std::string_view data(PyBytes_AS_STRING(args[1]), static_cast<size_t>(PyBytes_GET_SIZE(args[1])));
    static const quillet::writers::HtmlOptions defaults;
    std::vector<quillet::writers::OutlineRef> picked;
    for (const auto& link : o.links) {
        const std::string_view url = o.view(link.text);
        const bool label_may_be_blank = !link.autolink && (link.start + 2 >= data.size() ||
                                                           std::strchr(" \t\r\n|", data[link.start + 2]) != nullptr);
        if (label_may_be_blank || blank_url(url) || scheme_suspect(url, defaults.allowed_schemes) ||
            !quillet::writers::url_allowed(url, defaults.allowed_schemes, false)) {
            picked.push_back(link);
        }
    }
    return refs_list(o, picked, true);
}

PyObject* outline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError,
                        "outline(source, /, *, profile=None, text=None, plain=False, render=None, top_only=False, "
                        "inline=False)");
        return nullptr;
    }
    PyObject* profile_arg = Py_None;
    PyObject* text_arg = Py_None;
    PyObject* plain_arg = nullptr;
    PyObject* render_arg = nullptr;
    PyObject* top_arg = nullptr;
    PyObject* inline_arg = nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        PyObject* v = args[nargs + i];
        if (PyUnicode_CompareWithASCIIString(key, "profile") == 0) {
            profile_arg = v;
        } else if (PyUnicode_CompareWithASCIIString(key, "text") == 0) {
            text_arg = v;
        } else if (PyUnicode_CompareWithASCIIString(key, "plain") == 0) {
            plain_arg = v;
        } else if (PyUnicode_CompareWithASCIIString(key, "render") == 0) {
            render_arg = v;
        } else if (PyUnicode_CompareWithASCIIString(key, "top_only") == 0) {
            top_arg = v;
        } else if (PyUnicode_CompareWithASCIIString(key, "inline") == 0) {
            inline_arg = v;
        } else {
            PyErr_Format(PyExc_TypeError, "outline() got an unexpected keyword argument %R", key);
            return nullptr;
        }
    }
    Options options;
    const int plain = plain_arg == nullptr ? 0 : PyObject_IsTrue(plain_arg);
    if (plain < 0 || !read_render(render_arg, options.render)) return nullptr;
    options.plain = plain != 0;
    const int top_only = top_arg == nullptr ? 0 : PyObject_IsTrue(top_arg);
    if (top_only < 0) return nullptr;
    options.top_only = top_only != 0;
    const int inline_facts = inline_arg == nullptr ? 0 : PyObject_IsTrue(inline_arg);
    if (inline_facts < 0) return nullptr;
    options.inline_facts = inline_facts != 0;
    if (text_arg != Py_None && !PyUnicode_Check(text_arg)) {
        PyErr_Format(PyExc_TypeError, "text must be a str or None, not %s", Py_TYPE(text_arg)->tp_name);
        return nullptr;
    }
    const Outline::Options build{options.plain, options.render, options.top_only, options.inline_facts};
    auto built = std::make_unique<Outline>();
    PyObject* source = args[0];
    if (PyUnicode_Check(source) || PyBytes_Check(source)) {
        quillet::Profile profile;
        if (!read_profile(profile_arg, profile)) return nullptr;
        if (PyBytes_Check(source)) {
            // A text's UTF-8 as a caller keeps it (the language server does): read in place, never decoded.
            const std::string_view text(PyBytes_AS_STRING(source), static_cast<size_t>(PyBytes_GET_SIZE(source)));
            if (!pyql::input_size_ok(text.size()) || !valid_utf8(text)) return nullptr;
            if (!without_gil([&] { quillet::writers::outline_parsed(text, *built, build, profile); })) return nullptr;
        } else {
            // The outline keeps copies of the texts it holds: the thread's input buffer can be lent.
            LentInput lent;
            StrInput input;
            if (!input.read(source, &lent)) return nullptr;
            const bool ran = without_gil([&] {
                if (const std::optional<std::string_view> text = input.text()) {
                    quillet::writers::outline_parsed(*text, *built, build, profile);
                }
            });
            if (!ran || !input.done()) return nullptr;
        }
    } else {
        Converted converted;
        switch (convert(source, converted, true)) {
            case Status::Ok:
                break;
            case Status::Failed:
                return nullptr;
            case Status::NotASource:
            case Status::NeedsPython:
                PyErr_Format(PyExc_TypeError,
                             "source must be a str, a pyql.Document, a pyql.ParseResult or a list of blocks, not %s",
                             Py_TYPE(source)->tp_name);
                return nullptr;
        }
        // The text given beside the tree, encoded in the release as a str source is.
        LentInput lent;
        StrInput input;
        if (text_arg != Py_None && !input.read(text_arg, &lent)) return nullptr;
        bool fits = true;
        const bool ran = without_gil([&] {
            std::optional<std::string_view> text;
            if (text_arg != Py_None && !(text = input.text())) return;
            fits = quillet::writers::outline_tree(converted.source, text, *built, build);
        });
        if (!ran || !input.done()) return nullptr;
        if (!fits) {
            PyErr_SetString(PyExc_ValueError, "text is not the text the document was parsed from: a span lies past it");
            return nullptr;
        }
    }
    PyObject* obj = g_outline_type->tp_alloc(g_outline_type, 0);
    if (obj == nullptr) return nullptr;
    reinterpret_cast<Object*>(obj)->head.outline = built.release();
    reinterpret_cast<Object*>(obj)->options = options;
    return obj;
}

int add_outline(PyObject* module) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("The outline of a document: one row per block at every depth (see outline()).")},
        {Py_tp_dealloc, reinterpret_cast<void*>(outline_dealloc)},
        {Py_tp_methods, kOutlineMethods},
        {Py_tp_getset, kOutlineGetters},
        {Py_sq_length, reinterpret_cast<void*>(outline_len)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"quillet._native.Outline", static_cast<int>(sizeof(Object)), 0, Py_TPFLAGS_DEFAULT,
                               slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr || PyModule_AddObject(module, "Outline", type) < 0) {
        Py_XDECREF(type);
        return -1;
    }
    g_outline_type = reinterpret_cast<PyTypeObject*>(type);  // the module holds it
    return 0;
}

}  // namespace quillet_native
