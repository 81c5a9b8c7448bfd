#include "chunk_runs.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "outline_type.hpp"
#include "pyql/common.hpp"
#include "str_slices.hpp"

namespace quillet_native {
namespace {

using pyql::Ref;

constexpr const char* kCapsule = "quillet._native.chunk_runs";

// What a layout of chunks.py holds, read once: the units' running sizes (characters) and starts, their
// classes and heading levels, the headings, where their sections end and their paths.
struct Runs {
    std::vector<int64_t> pc;       // n + 1 running sizes: the units' character starts and the text's length
    std::vector<int64_t> bstarts;  // n + 1 byte starts
    std::vector<int> levels;       // n
    std::vector<int64_t> heads;    // the units that are headings, in order
    std::vector<int64_t> ends;     // n: where a heading's section ends (in units), -1 elsewhere
    Ref kinds;                     // the units' class names (a list)
    Ref head_paths;                // the headings' paths (a list of tuples)
    Ref text, make, separator, doc_id, doc_metadata;
    std::vector<PyObject*> contexts;  // per heading, its path's context once asked (owned), or null
    PyObject* no_context = nullptr;   // the context of the path () once asked (owned)
    int64_t cap = 0;
    int64_t n = 0;

    ~Runs() {
        for (PyObject* c : contexts) Py_XDECREF(c);
        Py_XDECREF(no_context);
    }
};

bool read_ints(PyObject* list, std::vector<int64_t>& out) {
    if (!PyList_Check(list)) {
        PyErr_SetString(PyExc_TypeError, "chunk_runs() reads lists of int");
        return false;
    }
    out.resize(static_cast<size_t>(PyList_GET_SIZE(list)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        const long long v = PyLong_AsLongLong(PyList_GET_ITEM(list, i));
        if (v == -1 && PyErr_Occurred()) return false;
        out[size_t(i)] = v;
    }
    return true;
}

PyObject* attr(PyObject* o, const char* name) {
    return PyObject_GetAttrString(o, name);
}

void destroy(PyObject* capsule) {
    delete static_cast<Runs*>(PyCapsule_GetPointer(capsule, kCapsule));
}

// The context of a chunk whose path is that of heading k (k < 0: before the first heading): the path's
// titles joined by the separator, or "" when there is none; made once per heading.
PyObject* context(Runs& r, int64_t k, PyObject* path) {
    PyObject*& slot = k < 0 ? r.no_context : r.contexts[size_t(k)];
    if (slot == nullptr) {
        slot =
            r.separator.get() == Py_None ? PyUnicode_FromStringAndSize("", 0) : PyUnicode_Join(r.separator.get(), path);
    }
    return slot;
}

}  // namespace

const char* const kChunkRunsDoc =
    "chunk_runs(layout, max_chars, make, separator, doc_id, doc_metadata): the arrays of a chunks layout, read "
    "once for chunk_run; a chunk's context is its path joined by separator (None: no context).";
const char* const kChunkRunDoc =
    "chunk_run(runs, i, out) -> int: the chunks of runs of whole units from unit i appended to out, up to the "
    "first unit the packer must place itself; its index, or the number of units.";

PyObject* chunk_runs(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 6 || !PyLong_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError,
                        "chunk_runs(layout, max_chars, make, separator, doc_id, doc_metadata) takes 6 arguments");
        return nullptr;
    }
    PyObject* layout = args[0];
    auto r = std::make_unique<Runs>();
    r->cap = PyLong_AsLongLong(args[1]);
    if (r->cap == -1 && PyErr_Occurred()) return nullptr;
    Ref pc(attr(layout, "pc")), bstarts(attr(layout, "bstarts")), levels(attr(layout, "levels")),
        heads(attr(layout, "heads")), ends(attr(layout, "ends"));
    if (!pc || !bstarts || !levels || !heads || !ends) return nullptr;
    std::vector<int64_t> level_values;
    if (!read_ints(pc.get(), r->pc) || !read_ints(bstarts.get(), r->bstarts) ||
        !read_ints(levels.get(), level_values) || !read_ints(heads.get(), r->heads)) {
        return nullptr;
    }
    r->n = static_cast<int64_t>(level_values.size());
    r->levels.assign(level_values.begin(), level_values.end());
    if (r->pc.size() != size_t(r->n) + 1 || r->bstarts.size() != size_t(r->n) + 1 || !PyDict_Check(ends.get())) {
        PyErr_SetString(PyExc_ValueError, "chunk_runs(): the layout's arrays do not agree");
        return nullptr;
    }
    r->ends.assign(size_t(r->n), -1);
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(ends.get(), &pos, &key, &value)) {
        const long long k = PyLong_AsLongLong(key), v = PyLong_AsLongLong(value);
        if (PyErr_Occurred()) return nullptr;
        if (k < 0 || k >= r->n) {
            PyErr_SetString(PyExc_ValueError, "chunk_runs(): a section end of no unit");
            return nullptr;
        }
        r->ends[size_t(k)] = v;
    }
    r->kinds = Ref(attr(layout, "kinds"));
    r->head_paths = Ref(attr(layout, "head_paths"));
    r->text = Ref(attr(layout, "text"));
    if (!r->kinds || !r->head_paths || !r->text) return nullptr;
    if (!PyList_Check(r->kinds.get()) || PyList_GET_SIZE(r->kinds.get()) < r->n || !PyList_Check(r->head_paths.get()) ||
        PyList_GET_SIZE(r->head_paths.get()) != Py_ssize_t(r->heads.size()) || !PyUnicode_Check(r->text.get())) {
        PyErr_SetString(PyExc_ValueError, "chunk_runs(): the layout's arrays do not agree");
        return nullptr;
    }
    // The texts are sliced at the running sizes: they must rise within the text.
    const auto length = int64_t(PyUnicode_GET_LENGTH(r->text.get()));
    for (size_t u = 0; u < r->pc.size(); ++u) {
        if (r->pc[u] < (u ? r->pc[u - 1] : 0) || r->pc[u] > length) {
            PyErr_SetString(PyExc_ValueError, "chunk_runs(): the units' sizes do not rise within the text");
            return nullptr;
        }
    }
    r->make = Ref(pyql::new_ref(args[2]));
    if (args[3] != Py_None && !PyUnicode_Check(args[3])) {
        PyErr_SetString(PyExc_TypeError, "chunk_runs(): the separator is a str or None");
        return nullptr;
    }
    r->separator = Ref(pyql::new_ref(args[3]));
    r->doc_id = Ref(pyql::new_ref(args[4]));
    r->doc_metadata = Ref(pyql::new_ref(args[5]));
    r->contexts.assign(r->heads.size(), nullptr);
    PyObject* capsule = PyCapsule_New(r.get(), kCapsule, destroy);
    if (capsule != nullptr) r.release();
    return capsule;
}

PyObject* chunk_run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyLong_Check(args[1]) || !PyList_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "chunk_run(runs, i, out)");
        return nullptr;
    }
    auto* r = static_cast<Runs*>(PyCapsule_GetPointer(args[0], kCapsule));
    if (r == nullptr) return nullptr;
    int64_t i = PyLong_AsLongLong(args[1]);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    PyObject* out = args[2];
    const std::vector<int64_t>& pc = r->pc;
    const std::vector<int64_t>& heads = r->heads;
    const auto m = static_cast<int64_t>(heads.size());
    const int64_t n = r->n, cap = r->cap;
    const auto heads_upper = [&](int64_t x, int64_t from) {  // bisect_right(heads, x, from)
        return int64_t(std::upper_bound(heads.begin() + from, heads.end(), x) - heads.begin());
    };
    const auto heads_lower = [&](int64_t x, int64_t from) {  // bisect_left(heads, x, from)
        return int64_t(std::lower_bound(heads.begin() + from, heads.end(), x) - heads.begin());
    };
    Ref empty(PyTuple_New(0));
    Ref lead(PyUnicode_FromStringAndSize("", 0));
    if (!empty || !lead) return nullptr;
    // The runs first (where each chunk starts and ends, in units), then their texts at once (sliced with
    // the GIL released), then the chunks.
    std::vector<std::pair<int64_t, int64_t>> planned;
    while (i >= 0 && i < n) {
        // A unit over the budget is cut by the packer.
        if (pc[size_t(i) + 1] - pc[size_t(i)] > cap) break;
        const int level = r->levels[size_t(i)];
        // The furthest run of whole units that fits.
        int64_t j = int64_t(std::upper_bound(pc.begin() + i + 1, pc.end(), pc[size_t(i)] + cap) - pc.begin()) - 1;
        // A heading in the run ends it, unless only headings come before it (they go with what follows) or
        // the chunk began at the heading of an enclosing section and the new section fits whole.
        bool leading = true;
        int opener = level;
        int64_t k = heads_upper(i, 0);
        const int64_t k0 = level ? k - 1 : k;
        while (k < m && heads[size_t(k)] < j) {
            const int64_t h = heads[size_t(k)];
            const int h_level = r->levels[size_t(h)];
            if (leading && h - i == k - k0) {
                opener = h_level;
                ++k;
                continue;
            }
            if (0 < opener && opener < h_level && r->ends[size_t(h)] <= j) {
                k = heads_lower(r->ends[size_t(h)], k);
                leading = false;
                continue;
            }
            j = h;
            break;
        }
        const bool heads_only = leading && level && j - i == heads_lower(j, 0) - heads_lower(i, 0);
        if (j < n && (heads_only || (pc[size_t(j) + 1] - pc[size_t(j)] > cap && r->ends[size_t(j)] < 0))) break;
        planned.emplace_back(i, j);
        i = j;
    }
    std::vector<std::pair<Py_ssize_t, Py_ssize_t>> ranges;
    ranges.reserve(planned.size());
    for (const auto& [a, b] : planned) ranges.emplace_back(Py_ssize_t(pc[size_t(a)]), Py_ssize_t(pc[size_t(b)]));
    std::vector<Ref> texts;
    if (!str_slices(r->text.get(), ranges, texts)) return nullptr;
    std::vector<PyObject*> kinds;  // borrowed: the layout's list holds them
    for (size_t c = 0; c < planned.size(); ++c) {
        const auto [first, last] = planned[c];
        // The chunk of units first..last-1.
        kinds.clear();
        for (int64_t u = first; u < last; ++u) {
            PyObject* kind = PyList_GET_ITEM(r->kinds.get(), Py_ssize_t(u));
            bool seen = false;
            for (PyObject* known : kinds) {
                if (known == kind) {
                    seen = true;
                    break;
                }
                const int equal = PyObject_RichCompareBool(known, kind, Py_EQ);
                if (equal < 0) return nullptr;
                if (equal) {
                    seen = true;
                    break;
                }
            }
            if (!seen) kinds.push_back(kind);
        }
        Ref kind_tuple(PyTuple_New(Py_ssize_t(kinds.size())));
        if (!kind_tuple) return nullptr;
        for (size_t u = 0; u < kinds.size(); ++u)
            PyTuple_SET_ITEM(kind_tuple.get(), Py_ssize_t(u), pyql::new_ref(kinds[u]));
        const int64_t head = heads_upper(first, 0) - 1;  // the section the chunk's first unit is in
        PyObject* path = head >= 0 ? PyList_GET_ITEM(r->head_paths.get(), Py_ssize_t(head)) : empty.get();
        PyObject* chunk_context = context(*r, head, path);
        if (chunk_context == nullptr) return nullptr;
        Ref index(PyLong_FromSsize_t(PyList_GET_SIZE(out)));
        Ref span(Py_BuildValue("(LL)", (long long)r->bstarts[size_t(first)], (long long)r->bstarts[size_t(last)]));
        Ref start(PyLong_FromLongLong(pc[size_t(first)])), end(PyLong_FromLongLong(pc[size_t(last)]));
        Ref size(PyLong_FromLongLong(pc[size_t(last)] - pc[size_t(first)]));
        if (!index || !span || !start || !end || !size) return nullptr;
        // Tuples of ints and strs can hold no cycle: the collector need not walk them (it would find so
        // itself, at its next collection, after walking them once).
        PyObject_GC_UnTrack(span.get());
        PyObject_GC_UnTrack(kind_tuple.get());
        PyObject* oversized = pc[size_t(last)] - pc[size_t(first)] > cap ? Py_True : Py_False;
        PyObject* argv[] = {index.get(),     texts[c].get(),       chunk_context,    path,      span.get(), start.get(),
                            end.get(),       size.get(),           kind_tuple.get(), oversized, lead.get(), empty.get(),
                            r->doc_id.get(), r->doc_metadata.get()};
        Ref chunk(PyObject_Vectorcall(r->make.get(), argv, std::size(argv), nullptr));
        if (!chunk || PyList_Append(out, chunk.get()) < 0) return nullptr;
    }
    return PyLong_FromLongLong(i);
}

const char* const kChunkFootnotesDoc =
    "chunk_footnotes(outline, chunks, text): sets each chunk's footnotes to the definitions it cites and does "
    "not hold, in the order first cited (their text without final line feeds).";

PyObject* chunk_footnotes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3 || !is_outline(args[0]) || !PyList_Check(args[1]) || !PyUnicode_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "chunk_footnotes(outline, chunks, text)");
        return nullptr;
    }
    const quillet::writers::Outline& o = outline_of(args[0]);
    PyObject* const chunks = args[1];
    PyObject* const text = args[2];
    // The first definition of each label.
    std::unordered_map<std::string_view, const quillet::writers::OutlineRef*> defined;
    for (const auto& def : o.footnote_defs) defined.emplace(o.view(def.text), &def);
    if (defined.empty() || o.footnote_refs.empty()) Py_RETURN_NONE;
    // Where each chunk's span starts and ends.
    const Py_ssize_t count = PyList_GET_SIZE(chunks);
    std::vector<std::pair<long long, long long>> spans(static_cast<size_t>(count));
    Ref span_name(PyUnicode_InternFromString("span"));
    if (!span_name) return nullptr;
    for (Py_ssize_t k = 0; k < count; ++k) {
        Ref span(PyObject_GetAttr(PyList_GET_ITEM(chunks, k), span_name.get()));
        if (!span) return nullptr;
        if (!PyArg_ParseTuple(span.get(), "LL", &spans[size_t(k)].first, &spans[size_t(k)].second)) return nullptr;
    }
    // The labels each chunk cites, in the order first cited there.
    std::vector<std::vector<const quillet::writers::OutlineRef*>> cited(static_cast<size_t>(count));
    for (const auto& ref : o.footnote_refs) {
        const auto found = defined.find(o.view(ref.text));
        if (found == defined.end()) continue;
        const auto after = std::upper_bound(spans.begin(), spans.end(), (long long)ref.start,
                                            [](long long at, const auto& span) { return at < span.first; });
        if (after == spans.begin()) continue;
        auto& labels = cited[size_t(after - spans.begin() - 1)];
        if (std::find(labels.begin(), labels.end(), found->second) == labels.end()) labels.push_back(found->second);
    }
    Ref footnotes_name(PyUnicode_InternFromString("footnotes"));
    if (!footnotes_name) return nullptr;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (size_t k = 0; k < cited.size(); ++k) {
        std::vector<PyObject*> notes;
        const auto release = [&] {
            for (PyObject* note : notes) Py_DECREF(note);
        };
        for (const auto* def : cited[k]) {
            if (spans[k].first <= (long long)def->start && (long long)def->start < spans[k].second) continue;
            Py_ssize_t start = def->char_start, end = def->char_end;
            if (start < 0 || end > length || start > end) {
                release();
                PyErr_SetString(PyExc_ValueError, "chunk_footnotes(): a definition lies beyond the text");
                return nullptr;
            }
            while (end > start && PyUnicode_READ_CHAR(text, end - 1) == '\n') --end;
            PyObject* note = PyUnicode_Substring(text, start, end);
            if (note == nullptr) {
                release();
                return nullptr;
            }
            notes.push_back(note);
        }
        if (notes.empty()) continue;
        Ref tuple(PyTuple_New(Py_ssize_t(notes.size())));
        if (!tuple) {
            release();
            return nullptr;
        }
        for (size_t i = 0; i < notes.size(); ++i) PyTuple_SET_ITEM(tuple.get(), Py_ssize_t(i), notes[i]);
        // The slot's own setter, as object.__setattr__ reaches it past the frozen class's __setattr__.
        if (PyObject_GenericSetAttr(PyList_GET_ITEM(chunks, Py_ssize_t(k)), footnotes_name.get(), tuple.get()) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

}  // namespace quillet_native
