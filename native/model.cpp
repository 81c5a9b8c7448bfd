#include "model.hpp"

#include <string_view>

#include "pyql/common.hpp"
#include "quillet/model.hpp"

namespace quillet_native {
namespace {

using pyql::Ref;

PyObject* str(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

constexpr std::string_view kRoleNames[] = {"block", "record", "inline"};
constexpr std::string_view kFieldTypeNames[] = {"children", "text", "opt_text", "level", "kind", "start", "flag"};
static_assert(std::size(kRoleNames) == size_t(quillet::NodeRole::Inline) + 1);
static_assert(std::size(kFieldTypeNames) == size_t(quillet::FieldType::Flag) + 1);

PyObject* node_class(const quillet::NodeInfo& info) {
    Ref fields(PyTuple_New(static_cast<Py_ssize_t>(info.field_count)));
    if (!fields) return nullptr;
    for (size_t i = 0; i < info.field_count; ++i) {
        const quillet::FieldInfo& f = info.field_array[i];
        PyObject* field = Py_BuildValue("(NN)", str(f.name), str(kFieldTypeNames[size_t(f.type)]));
        if (field == nullptr) return nullptr;
        PyTuple_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(i), field);
    }
    PyObject* children = info.has_children() ? str(info.field_array[info.children()].name) : pyql::new_ref(Py_None);
    return Py_BuildValue("(NNNN)", str(info.name), str(kRoleNames[size_t(info.role)]), fields.release(), children);
}

template <size_t N>
PyObject* names(const std::string_view (&list)[N]) {
    Ref tuple(PyTuple_New(N));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < N; ++i) {
        PyObject* name = str(list[i]);
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple.release();
}

// PyModule_AddObject steals the reference only on success.
int add(PyObject* module, const char* name, PyObject* value) {
    Ref owned(value);
    if (!owned || PyModule_AddObject(module, name, owned.get()) < 0) return -1;
    owned.release();
    return 0;
}

}  // namespace

int add_model(PyObject* module) {
    Ref classes(PyTuple_New(quillet::kNodeTypeCount));
    if (!classes) return -1;
    for (size_t i = 0; i < quillet::kNodeTypeCount; ++i) {
        PyObject* c = node_class(quillet::kNodeInfo[i]);
        if (c == nullptr) return -1;
        PyTuple_SET_ITEM(classes.get(), static_cast<Py_ssize_t>(i), c);
    }
    if (add(module, "NODE_CLASSES", classes.release()) < 0) return -1;
    if (add(module, "PROFILE_NAMES", names(quillet::kProfileNames)) < 0) return -1;
    return add(module, "MODULE_NAMES", names(quillet::kModuleNames));
}

}  // namespace quillet_native
