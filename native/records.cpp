#include "records.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "call.hpp"
#include "outline_type.hpp"
#include "pyql/common.hpp"

namespace quillet_native {
namespace {

using pyql::Ref;
using quillet::FieldType;
using quillet::NodeType;
using quillet::writers::kNoRow;
using quillet::writers::Outline;
using quillet::writers::OutlineRow;
using quillet::writers::PoolText;

// How a column's values are laid out in Arrow: 64-bit integers, bits, UTF-8 strings, lists of strings.
enum class Kind : uint8_t { Int, Bool, Str, StrList };

// Where a column's values come from: the records' own values, else the outline's column of the key's name
// (outline_type.hpp).
enum class From : uint8_t { DocId, HeadingPath, Outline };

// A field of one class: its type and, for a text, its place among the class's texts.
struct FieldAt {
    bool present = false;
    FieldType type = FieldType::Text;
    uint8_t place = 0;
};

struct Column {
    PyObject* key = nullptr;  // borrowed from the keys tuple
    From from = From::Outline;
    OutlineColumn column = OutlineColumn::Index;
    Kind kind = Kind::Int;
    std::array<FieldAt, quillet::kNodeTypeCount> field{};  // From::Field: where each class keeps it
};

Kind field_kind(FieldType type) {
    switch (type) {
        case FieldType::Level:
        case FieldType::Start:
            return Kind::Int;
        case FieldType::Flag:
            return Kind::Bool;
        case FieldType::Text:
        case FieldType::OptText:
        case FieldType::Kind:  // a List's kind is its member's name
        case FieldType::Children:
            break;
    }
    return Kind::Str;
}

// The column of `key`: "doc_id", "heading_path", a column of the outline, else a field of the block and
// record classes (not their children).
bool resolve(PyObject* key, Column& column) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "keys must be str, not %s", Py_TYPE(key)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) return false;
    const std::string_view name(text, static_cast<size_t>(size));
    column.key = key;
    if (name == "doc_id" || name == "heading_path") {
        column.from = name == "doc_id" ? From::DocId : From::HeadingPath;
        column.kind = name == "doc_id" ? Kind::Str : Kind::StrList;
        return true;
    }
    column.from = From::Outline;
    if (const OutlineColumnName* named = outline_column_named(name)) {
        column.column = named->column;
        column.kind = named->value == ColumnValue::Int ? Kind::Int : Kind::Str;
        return true;
    }
    std::optional<Kind> kind;
    for (size_t t = 0; t < quillet::kNodeTypeCount; ++t) {
        const quillet::NodeInfo& info = quillet::kNodeInfo[t];
        if (info.role == quillet::NodeRole::Inline) continue;
        size_t place = 0;
        for (const quillet::FieldInfo& f : info) {
            if (f.name == name && f.type != FieldType::Children &&
                (!f.is_text() || place < quillet::writers::kMaxRowTexts)) {
                if (kind && *kind != field_kind(f.type)) {
                    PyErr_Format(PyExc_ValueError, "the field %R holds values of different kinds", key);
                    return false;
                }
                kind = field_kind(f.type);
                column.field[t] = FieldAt{true, f.type, static_cast<uint8_t>(place)};
            }
            place += f.is_text() ? 1 : 0;
        }
    }
    if (!kind) {
        PyErr_Format(PyExc_ValueError, "no record column %R", key);
        return false;
    }
    column.column = OutlineColumn::Field;
    column.kind = *kind;
    return true;
}

// One value of a row: nothing, an integer, a bool or a UTF-8 text (one of the strs made once per call
// when `shared` is set).
struct Cell {
    enum class Tag : uint8_t { Null, Int, Bool, Str } tag = Tag::Null;
    uint64_t number = 0;
    std::string_view text;
    PyObject* shared = nullptr;  // borrowed
};

Cell integer(uint64_t v) {
    return Cell{Cell::Tag::Int, v, {}, nullptr};
}
Cell str(std::string_view s, PyObject* shared = nullptr) {
    return Cell{Cell::Tag::Str, 0, s, shared};
}

PyObject* name_str(std::string_view s) {
    PyObject* name = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    if (name != nullptr) PyUnicode_InternInPlace(&name);
    return name;
}

// What both functions read: the outline, the columns of the keys, the doc_id, the heading paths, and the
// strs made once per call (the class names, the list kinds' member names).
class Call {
public:
    bool read(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t count, const char* usage) {
        if (nargs != count || !is_outline(args[0]) || !PyTuple_Check(args[1]) ||
            (args[2] != Py_None && !PyUnicode_Check(args[2])) || !PyDict_Check(args[3])) {
            PyErr_SetString(PyExc_TypeError, usage);
            return false;
        }
        outline_ = &outline_of(args[0]);
        const Py_ssize_t keys = PyTuple_GET_SIZE(args[1]);
        columns_.resize(static_cast<size_t>(keys));
        for (Py_ssize_t i = 0; i < keys; ++i) {
            Column& column = columns_[static_cast<size_t>(i)];
            if (!resolve(PyTuple_GET_ITEM(args[1], i), column)) return false;
            if (column.from != From::Outline) continue;
            if (column.column == OutlineColumn::Text && !outline_has_plain(args[0])) {
                PyErr_SetString(PyExc_ValueError, "the key 'text' needs an outline built with plain=True");
                return false;
            }
            if (column.column == OutlineColumn::Rendered && !outline_has_render(args[0])) {
                PyErr_SetString(PyExc_ValueError, "the key 'rendered' needs an outline built with render=");
                return false;
            }
        }
        if (args[2] != Py_None) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(args[2], &size);
            if (text == nullptr) return false;
            doc_id_.assign(text, static_cast<size_t>(size));
            doc_id_object_ = args[2];
        }
        paths_ = args[3];
        for (size_t t = 0; t < quillet::kNodeTypeCount; ++t) {
            types_[t].reset(name_str(quillet::type_name(NodeType(t))));
            if (!types_[t]) return false;
        }
        for (size_t k = 0; k < std::size(quillet::kListKindMembers); ++k) {
            list_kinds_[k].reset(name_str(quillet::kListKindMembers[k]));
            if (!list_kinds_[k]) return false;
        }
        return true;
    }

    const Outline& outline() const { return *outline_; }
    const std::vector<Column>& columns() const { return columns_; }
    PyObject* paths() const { return paths_; }
    PyObject* doc_id() const { return doc_id_object_ != nullptr ? doc_id_object_ : Py_None; }

    Cell cell(size_t i, const Column& c) const {
        const Outline& o = *outline_;
        const OutlineRow& row = o.rows[i];
        const auto placed = [&](uint64_t v) { return o.has_text ? integer(v) : Cell{}; };
        switch (c.from) {
            case From::DocId:
                return doc_id_object_ != nullptr ? str(doc_id_, doc_id_object_) : Cell{};
            case From::HeadingPath:  // lists are made apart
                return Cell{};
            case From::Outline:
                break;
        }
        const bool table = row.type == NodeType::Table;
        switch (c.column) {
            case OutlineColumn::Index:
                return integer(i);
            case OutlineColumn::Type:
                return str(quillet::type_name(row.type), types_[size_t(row.type)].get());
            case OutlineColumn::Depth:
                return integer(row.depth);
            case OutlineColumn::Parent:
                return row.parent == kNoRow ? Cell{} : integer(row.parent);
            case OutlineColumn::ByteStart:
                return integer(row.start);
            case OutlineColumn::ByteEnd:
                return integer(row.end);
            case OutlineColumn::CharStart:
                return placed(row.char_start);
            case OutlineColumn::CharEnd:
                return placed(row.char_end);
            case OutlineColumn::Line:
                return placed(row.line);
            case OutlineColumn::EndLine:
                return placed(row.end_line);
            case OutlineColumn::Col:
                return placed(row.column);
            case OutlineColumn::HeadingTitle:
                return text(row.title);
            case OutlineColumn::Section:
                return row.section == kNoRow ? Cell{} : integer(row.section);
            case OutlineColumn::Rows:
                return table ? integer(row.table_rows) : Cell{};
            case OutlineColumn::Cols:
                return table ? integer(row.table_cols) : Cell{};
            case OutlineColumn::Text:
                return text(row.plain);
            case OutlineColumn::Rendered:
                return text(row.rendered);
            case OutlineColumn::Field:
                return field(row, c.field[size_t(row.type)]);
        }
        return Cell{};
    }

private:
    Cell text(const PoolText& t) const { return t.present() ? str(outline_->view(t)) : Cell{}; }

    Cell field(const OutlineRow& row, const FieldAt& at) const {
        if (!at.present) return Cell{};
        switch (at.type) {
            case FieldType::Text:
            case FieldType::OptText:
                return text(row.texts[at.place]);
            case FieldType::Level:
                return integer(row.level);
            case FieldType::Kind:
                return str(quillet::kListKindMembers[size_t(row.list_kind)], list_kinds_[size_t(row.list_kind)].get());
            case FieldType::Start:
                return row.list_start ? integer(*row.list_start) : Cell{};
            case FieldType::Flag:
                return Cell{Cell::Tag::Bool, row.flag ? 1u : 0u, {}, nullptr};
            case FieldType::Children:
                break;
        }
        return Cell{};
    }

    const Outline* outline_ = nullptr;
    std::vector<Column> columns_;
    std::string doc_id_;
    PyObject* doc_id_object_ = nullptr;  // borrowed
    PyObject* paths_ = nullptr;          // borrowed
    std::array<Ref, quillet::kNodeTypeCount> types_;
    std::array<Ref, std::size(quillet::kListKindMembers)> list_kinds_;
};

// The heading paths by section, from the dict _source.heading_paths gives. Rows come in document order, so
// their section changes once per top-level heading: the last path looked up is kept.
class Paths {
public:
    explicit Paths(PyObject* dict) : dict_(dict) {}

    // The path of the rows of `section` (a tuple, borrowed from this object), or null with an exception.
    PyObject* tuple(uint64_t section) {
        if (path_ && section == section_) return path_.get();
        if (section == kNoRow) {
            path_.reset(PyTuple_New(0));
        } else {
            Ref key(PyLong_FromUnsignedLongLong(section));
            if (!key) return nullptr;
            PyObject* path = PyDict_GetItemWithError(dict_, key.get());
            if (path == nullptr) {
                if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
                return nullptr;
            }
            if (!PyTuple_Check(path)) {
                PyErr_Format(PyExc_TypeError, "a heading path must be a tuple, not %s", Py_TYPE(path)->tp_name);
                return nullptr;
            }
            path_.reset(pyql::new_ref(path));
        }
        section_ = section;
        return path_.get();
    }

    // A new list of the titles of `section`'s path.
    PyObject* list(uint64_t section) {
        PyObject* path = tuple(section);
        if (path == nullptr) return nullptr;
        const Py_ssize_t count = PyTuple_GET_SIZE(path);
        PyObject* list = PyList_New(count);
        if (list == nullptr) return nullptr;
        for (Py_ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(list, i, pyql::new_ref(PyTuple_GET_ITEM(path, i)));
        return list;
    }

private:
    PyObject* dict_;  // borrowed
    Ref path_;
    uint64_t section_ = kNoRow;
};

// The dict every row starts as: the keys, in order, all None but the doc_id, which every row shares. A row is a copy of
// it (made whole, faster than the same keys inserted one by one) in which the values that are not None are set.
// It is the __dict__ of an instance of a class made for the call, so that CPython keeps its keys in one table
// that every copy shares: a row is then its values alone, a third of the memory of a dict of its own keys, and
// is made and freed in half the time. Setting a key it holds keeps a copy so; anything else makes the copy
// an ordinary dict, as any dict is. Where CPython shares no keys, the copies are ordinary dicts.
PyObject* row_template(const std::vector<Column>& columns, PyObject* doc_id) {
    Ref bases(PyTuple_New(0));
    Ref namespace_(PyDict_New());
    if (!bases || !namespace_) return nullptr;
    Ref type(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO", "record", bases.get(),
                                   namespace_.get()));
    Ref instance(type ? PyObject_CallNoArgs(type.get()) : nullptr);
    if (!instance) return nullptr;
    for (const Column& c : columns) {
        if (PyObject_SetAttr(instance.get(), c.key, c.from == From::DocId ? doc_id : Py_None) != 0) return nullptr;
    }
    return PyObject_GenericGetDict(instance.get(), nullptr);
}

PyObject* object(const Cell& c) {
    switch (c.tag) {
        case Cell::Tag::Null:
            break;
        case Cell::Tag::Int:
            return PyLong_FromUnsignedLongLong(c.number);
        case Cell::Tag::Bool:
            return PyBool_FromLong(c.number != 0);
        case Cell::Tag::Str:
            if (c.shared != nullptr) return pyql::new_ref(c.shared);
            // A lone surrogate a caller put in a str came here as its three bytes.
            return PyUnicode_DecodeUTF8(c.text.data(), static_cast<Py_ssize_t>(c.text.size()), "surrogatepass");
    }
    return pyql::new_ref(Py_None);
}

// ------------------------------------------------------------------------------------- Arrow's buffers

// The titles of every row's heading path, copied out of the strs so that the buffers are filled without
// the GIL: the rows of one section share one path.
struct PathTitles {
    std::string bytes;
    std::vector<uint64_t> ends;  // each title's end in bytes, in the order of the paths
    struct Path {
        size_t first = 0, count = 0;  // its titles in `ends`
    };
    std::vector<Path> paths;
    std::vector<uint32_t> of_row;  // the path of each row

    std::string_view title(size_t i) const {
        const uint64_t start = i == 0 ? 0 : ends[i - 1];
        return std::string_view(bytes).substr(start, ends[i] - start);
    }
    uint64_t size(const Path& p) const {
        if (p.count == 0) return 0;
        return ends[p.first + p.count - 1] - (p.first == 0 ? 0 : ends[p.first - 1]);
    }

    bool read(const Outline& o, PyObject* dict) {
        Paths lookup(dict);
        of_row.reserve(o.rows.size());
        uint64_t section = kNoRow;
        for (const OutlineRow& row : o.rows) {
            if (paths.empty() || row.section != section) {
                section = row.section;
                PyObject* path = lookup.tuple(section);
                if (path == nullptr) return false;
                Path p{ends.size(), static_cast<size_t>(PyTuple_GET_SIZE(path))};
                for (size_t i = 0; i < p.count; ++i) {
                    PyObject* title = PyTuple_GET_ITEM(path, static_cast<Py_ssize_t>(i));
                    Py_ssize_t size = 0;
                    const char* text = PyUnicode_Check(title) ? PyUnicode_AsUTF8AndSize(title, &size) : nullptr;
                    if (text == nullptr) {
                        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a heading path must hold str");
                        return false;
                    }
                    bytes.append(text, static_cast<size_t>(size));
                    ends.push_back(bytes.size());
                }
                paths.push_back(p);
            }
            of_row.push_back(static_cast<uint32_t>(paths.size() - 1));
        }
        return true;
    }
};

// The UTF-8 bytes (or titles) a row gives a str (or list) column; others weigh nothing.
struct Load {
    uint64_t bytes = 0, items = 0;
};

Load load_of(const Call& call, const PathTitles& titles, size_t row, const Column& c) {
    if (c.kind == Kind::StrList) {
        const PathTitles::Path& p = titles.paths[titles.of_row[row]];
        return Load{titles.size(p), p.count};
    }
    if (c.kind == Kind::Str) return Load{call.cell(row, c).text.size(), 0};
    return Load{};
}

// A run of rows given as one record batch, and the load of each of its columns.
struct Batch {
    size_t first = 0, count = 0;
    std::vector<Load> load;
};

// The batches: rows in order, a new batch when a column's bytes or items would pass `limit`. False when one
// row alone passes it.
bool batches_of(const Call& call, const PathTitles& titles, uint64_t limit, std::vector<Batch>& batches) {
    const std::vector<Column>& columns = call.columns();
    std::vector<Load> row_load(columns.size());
    batches.push_back(Batch{0, 0, std::vector<Load>(columns.size())});
    for (size_t i = 0; i < call.outline().rows.size(); ++i) {
        bool fits = true;
        for (size_t c = 0; c < columns.size(); ++c) {
            if (columns[c].kind != Kind::Str && columns[c].kind != Kind::StrList) continue;
            row_load[c] = load_of(call, titles, i, columns[c]);
            if (row_load[c].bytes > limit || row_load[c].items > limit) return false;
            const Load& sum = batches.back().load[c];
            fits = fits && sum.bytes + row_load[c].bytes <= limit && sum.items + row_load[c].items <= limit;
        }
        if (!fits) batches.push_back(Batch{i, 0, std::vector<Load>(columns.size())});
        Batch& batch = batches.back();
        ++batch.count;
        for (size_t c = 0; c < columns.size(); ++c) {
            batch.load[c].bytes += row_load[c].bytes;
            batch.load[c].items += row_load[c].items;
        }
    }
    return true;
}

// The buffers of one column of a batch: bytes objects made with the GIL, filled without it.
struct Target {
    Ref validity, data, offsets, child_offsets;
    // While the batch is filled: where the buffers' storage is, and how much of it is written.
    char *validity_at = nullptr, *data_at = nullptr, *offsets_at = nullptr, *child_offsets_at = nullptr;
    uint64_t bytes = 0, items = 0;
    uint64_t nulls = 0;  // without a null, the column's validity is not given
};

// A new bytes object of `size` bytes, zeroed when `zero`.
PyObject* buffer(uint64_t size, bool zero = false) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes != nullptr && zero) std::memset(PyBytes_AS_STRING(bytes), 0, static_cast<size_t>(size));
    return bytes;
}

uint64_t bitmap_size(size_t count) {
    return (count + 7) / 8;
}

bool make_buffers(const Column& c, const Batch& b, const Load& load, Target& t) {
    const uint64_t offsets = (uint64_t(b.count) + 1) * sizeof(int32_t);
    if (c.kind != Kind::StrList) {
        t.validity.reset(buffer(bitmap_size(b.count), true));
        if (!t.validity) return false;
    }
    switch (c.kind) {
        case Kind::Int:
            t.data.reset(buffer(uint64_t(b.count) * sizeof(int64_t)));
            return bool(t.data);
        case Kind::Bool:
            t.data.reset(buffer(bitmap_size(b.count), true));
            return bool(t.data);
        case Kind::Str:
            t.offsets.reset(buffer(offsets));
            t.data.reset(buffer(load.bytes));
            return t.offsets && t.data;
        case Kind::StrList:
            t.offsets.reset(buffer(offsets));
            t.child_offsets.reset(buffer((load.items + 1) * sizeof(int32_t)));
            t.data.reset(buffer(load.bytes));
            return t.offsets && t.child_offsets && t.data;
    }
    return false;
}

// The tuple of one column's buffers, as records.hpp lays them out.
PyObject* buffers_tuple(const Column& c, const Load& load, const Target& t) {
    PyObject* validity = t.nulls != 0 && t.validity ? t.validity.get() : Py_None;
    switch (c.kind) {
        case Kind::Int:
        case Kind::Bool:
            return PyTuple_Pack(2, validity, t.data.get());
        case Kind::Str:
            return PyTuple_Pack(3, validity, t.offsets.get(), t.data.get());
        case Kind::StrList: {
            Ref items(PyLong_FromUnsignedLongLong(load.items));
            if (!items) return nullptr;
            return PyTuple_Pack(5, Py_None, t.offsets.get(), items.get(), t.child_offsets.get(), t.data.get());
        }
    }
    return nullptr;
}

void put_offset(char* offsets, size_t i, uint64_t value) {
    const int32_t v = static_cast<int32_t>(value);
    std::memcpy(offsets + i * sizeof(int32_t), &v, sizeof v);
}

void set_bit(char* bits, size_t i) {
    bits[i / 8] = static_cast<char>(static_cast<unsigned char>(bits[i / 8]) | (1u << (i % 8)));
}

// Writes the row `i` of a batch (its index in the outline) into the buffers of each column; a row at a
// time, so that each row of the outline is read once.
void fill_row(const Call& call, const PathTitles& titles, size_t row, size_t i, Target* targets) {
    const std::vector<Column>& columns = call.columns();
    for (size_t k = 0; k < columns.size(); ++k) {
        const Column& c = columns[k];
        Target& t = targets[k];
        if (c.kind == Kind::StrList) {
            const PathTitles::Path& p = titles.paths[titles.of_row[row]];
            for (size_t n = 0; n < p.count; ++n) {
                const std::string_view title = titles.title(p.first + n);
                std::memcpy(t.data_at + t.bytes, title.data(), title.size());
                t.bytes += title.size();
                put_offset(t.child_offsets_at, ++t.items, t.bytes);
            }
            put_offset(t.offsets_at, i + 1, t.items);
            continue;
        }
        const Cell cell = call.cell(row, c);
        if (cell.tag == Cell::Tag::Null) {
            ++t.nulls;
        } else {
            set_bit(t.validity_at, i);
        }
        switch (c.kind) {
            case Kind::Int: {
                const uint64_t v = cell.number;  // 0 for a null
                std::memcpy(t.data_at + i * sizeof(int64_t), &v, sizeof v);
                break;
            }
            case Kind::Bool:
                if (cell.number != 0) set_bit(t.data_at, i);
                break;
            case Kind::Str:
                // An empty text may have no data at all: memcpy must not be given a null pointer.
                if (!cell.text.empty()) std::memcpy(t.data_at + t.bytes, cell.text.data(), cell.text.size());
                t.bytes += cell.text.size();
                put_offset(t.offsets_at, i + 1, t.bytes);
                break;
            case Kind::StrList:
                break;
        }
    }
}

// Writes a batch into the buffers of its columns.
void fill(const Call& call, const PathTitles& titles, const Batch& b, Target* targets) {
    for (size_t k = 0; k < call.columns().size(); ++k) {
        Target& t = targets[k];
        t.validity_at = t.validity ? PyBytes_AS_STRING(t.validity.get()) : nullptr;
        t.data_at = PyBytes_AS_STRING(t.data.get());
        t.offsets_at = t.offsets ? PyBytes_AS_STRING(t.offsets.get()) : nullptr;
        t.child_offsets_at = t.child_offsets ? PyBytes_AS_STRING(t.child_offsets.get()) : nullptr;
        if (t.offsets_at != nullptr) put_offset(t.offsets_at, 0, 0);
        if (t.child_offsets_at != nullptr) put_offset(t.child_offsets_at, 0, 0);
    }
    for (size_t i = 0; i < b.count; ++i) fill_row(call, titles, b.first + i, i, targets);
}

}  // namespace

const char* const kRecordsDoc =
    "records(outline, keys, doc_id, paths) -> list[dict]: one dict per row of outline, with keys in order.";

PyObject* records(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Call call;
    if (!call.read(args, nargs, 4, "records(outline, keys: tuple[str, ...], doc_id: str | None, paths: dict)")) {
        return nullptr;
    }
    const Outline& o = call.outline();
    const std::vector<Column>& columns = call.columns();
    Paths paths(call.paths());
    // The int each column gave last: a value that repeats (a parent, a line, an end shared with the
    // enclosing block) or that another column just gave (a character offset of an ASCII text is its byte
    // offset) is given the same object.
    std::vector<std::pair<uint64_t, Ref>> last(columns.size());
    // The two ints given last by any column, newest first, with their values.
    std::array<std::pair<uint64_t, PyObject*>, 2> recent{};  // borrowed from `last`
    const auto shared_int = [&](uint64_t number) {
        for (const auto& [value, made] : recent) {
            if (made != nullptr && value == number) return pyql::new_ref(made);
        }
        return PyLong_FromUnsignedLongLong(number);
    };
    // The last text given: a block whose text is its one child's (a quote of one paragraph) shares its str.
    std::string_view last_text;
    Ref last_str;
    Ref empty(row_template(columns, call.doc_id()));
    if (!empty) return nullptr;
    // The columns each class of row may give a value in: not the doc_id, already in the template, nor the
    // fields of other classes.
    std::array<std::vector<size_t>, quillet::kNodeTypeCount> active;
    for (size_t t = 0; t < quillet::kNodeTypeCount; ++t) {
        for (size_t k = 0; k < columns.size(); ++k) {
            const Column& c = columns[k];
            const bool field = c.from == From::Outline && c.column == OutlineColumn::Field;
            if (c.from != From::DocId && (!field || c.field[t].present)) active[t].push_back(k);
        }
    }
    Ref list(PyList_New(static_cast<Py_ssize_t>(o.rows.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < o.rows.size(); ++i) {
        Ref row(PyDict_Copy(empty.get()));
        if (!row) return nullptr;
        for (const size_t k : active[size_t(o.rows[i].type)]) {
            const Column& c = columns[k];
            PyObject* value = nullptr;
            if (c.from == From::HeadingPath) {
                value = paths.list(o.rows[i].section);
            } else {
                const Cell cell = call.cell(i, c);
                if (cell.tag == Cell::Tag::Null) continue;
                if (cell.tag == Cell::Tag::Int) {
                    auto& [number, made] = last[k];
                    if (!made || number != cell.number) {
                        made.reset(shared_int(cell.number));
                        number = cell.number;
                    }
                    if (!made) return nullptr;
                    value = pyql::new_ref(made.get());
                    if (recent[0].second != value) recent = {std::pair(cell.number, value), recent[0]};
                } else if (cell.tag == Cell::Tag::Str && cell.shared == nullptr && cell.text.size() > 0) {
                    if (!last_str || cell.text.size() != last_text.size() ||
                        std::memcmp(cell.text.data(), last_text.data(), last_text.size()) != 0) {
                        last_str.reset(object(cell));
                        if (!last_str) return nullptr;
                        last_text = cell.text;
                    }
                    value = pyql::new_ref(last_str.get());
                } else {
                    value = object(cell);
                }
            }
            if (value == nullptr) return nullptr;
            const int failed = PyDict_SetItem(row.get(), c.key, value);
            Py_DECREF(value);
            if (failed != 0) return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row.release());
    }
    return list.release();
}

const char* const kRecordColumnsDoc =
    "record_columns(outline, keys, doc_id, paths, limit) -> list of (rows, buffers per key): the records of "
    "outline as Arrow buffers, in batches of at most limit bytes per column.";

PyObject* record_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Call call;
    if (!call.read(args, nargs, 5,
                   "record_columns(outline, keys: tuple[str, ...], doc_id: str | None, paths: dict, limit: int)")) {
        return nullptr;
    }
    if (!PyLong_Check(args[4])) {
        PyErr_SetString(PyExc_TypeError, "limit must be an int");
        return nullptr;
    }
    const long long limit = PyLong_AsLongLong(args[4]);
    if (limit == -1 && PyErr_Occurred()) return nullptr;
    if (limit < 1 || limit > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "limit must be between 1 and 2**31 - 1");
        return nullptr;
    }
    PathTitles titles;
    const bool lists = [&] {
        for (const Column& c : call.columns()) {
            if (c.kind == Kind::StrList) return true;
        }
        return false;
    }();
    if (lists && !titles.read(call.outline(), call.paths())) return nullptr;
    std::vector<Batch> batches;
    bool fits = true;
    if (!without_gil([&] { fits = batches_of(call, titles, static_cast<uint64_t>(limit), batches); })) {
        return nullptr;
    }
    if (!fits) {
        PyErr_SetString(PyExc_ValueError, "a record holds a text too long for an Arrow string column");
        return nullptr;
    }
    const std::vector<Column>& columns = call.columns();
    std::vector<Target> targets(batches.size() * columns.size());
    for (size_t b = 0; b < batches.size(); ++b) {
        for (size_t c = 0; c < columns.size(); ++c) {
            if (!make_buffers(columns[c], batches[b], batches[b].load[c], targets[b * columns.size() + c])) {
                return nullptr;
            }
        }
    }
    // The bytes objects are new and held only here: they are filled without the GIL.
    const bool filled = without_gil([&] {
        for (size_t b = 0; b < batches.size(); ++b) fill(call, titles, batches[b], &targets[b * columns.size()]);
    });
    if (!filled) return nullptr;
    Ref result(PyList_New(static_cast<Py_ssize_t>(batches.size())));
    if (!result) return nullptr;
    for (size_t b = 0; b < batches.size(); ++b) {
        Ref buffers(PyTuple_New(static_cast<Py_ssize_t>(columns.size())));
        if (!buffers) return nullptr;
        for (size_t c = 0; c < columns.size(); ++c) {
            PyObject* column = buffers_tuple(columns[c], batches[b].load[c], targets[b * columns.size() + c]);
            if (column == nullptr) return nullptr;
            PyTuple_SET_ITEM(buffers.get(), static_cast<Py_ssize_t>(c), column);
        }
        PyObject* batch = Py_BuildValue("(nN)", static_cast<Py_ssize_t>(batches[b].count), buffers.release());
        if (batch == nullptr) return nullptr;
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(b), batch);
    }
    return result.release();
}

}  // namespace quillet_native
