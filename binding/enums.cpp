// The enumeration classes Profile, ModuleKind, ParseErrorKind and ListKind.
//
// Plain classes, one class attribute per member, each instance holding the member's value in one byte. They
// convert to int (nb_int) but deliberately have no __index__: with one, a ModuleKind and a ListKind of the
// same value would compare equal through the integer fallback of ==. Instances are unhashable and unordered.
#include <iterator>
#include <string_view>

#include "pyql/common.hpp"
#include "pyql/layouts.hpp"

namespace pyql {
namespace {

struct EnumInfo {
    TypeId id;
    const char* class_name;
    const char* type_name;  // the qualified name the type is created under
    const char* doc;
    const std::string_view* members;  // the model's names: string literals, NUL-terminated
    uint8_t count;
};

// A member's value is its index in the model's tables of member names (quillet/model.hpp).
using quillet::kListKindMembers;
using quillet::kModuleKindMembers;
using quillet::kParseErrorKindMembers;
using quillet::kProfileMembers;

// Indexed by the template parameter of the slot functions below.
constexpr EnumInfo kEnums[] = {
    {kProfile, "Profile", "builtins.Profile", "Parsing profile.", kProfileMembers, std::size(kProfileMembers)},
    {kModuleKind, "ModuleKind", "builtins.ModuleKind", "Parser module.", kModuleKindMembers,
     std::size(kModuleKindMembers)},
    {kParseErrorKind, "ParseErrorKind", "builtins.ParseErrorKind", "Parse error category.", kParseErrorKindMembers,
     std::size(kParseErrorKindMembers)},
    {kListKind, "ListKind", "builtins.ListKind", "List kind.", kListKindMembers, std::size(kListKindMembers)},
};

// In the order the classes are registered on the module, as TypeId gives it.
constexpr bool in_registration_order() {
    for (size_t i = 1; i < std::size(kEnums); ++i) {
        if (kEnums[i - 1].id >= kEnums[i].id) return false;
    }
    return true;
}
static_assert(in_registration_order());

const EnumInfo* info_for(TypeId id) {
    for (const EnumInfo& info : kEnums) {
        if (info.id == id) return &info;
    }
    return nullptr;
}

uint8_t value_of(PyObject* self) {
    return reinterpret_cast<EnumObject*>(self)->value;
}

const char* member_name(const EnumInfo& info, uint8_t value) {
    return value < info.count ? info.members[value].data() : "?";
}

template <int I>
PyObject* enum_repr(PyObject* self) {
    const EnumInfo& info = kEnums[I];
    return PyUnicode_FromFormat("%s.%s", info.class_name, member_name(info, value_of(self)));
}

PyObject* enum_int(PyObject* self) {
    return PyLong_FromLong(value_of(self));
}

// == and != against another member of the same class, or against anything that converts to a machine-sized
// integer through __index__. A failed conversion is swallowed: the comparison is then NotImplemented.
PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    long long mine = value_of(self);
    long long theirs;
    if (PyObject_TypeCheck(other, Py_TYPE(self))) {
        theirs = value_of(other);
    } else {
        PyObject* index = PyNumber_Index(other);
        if (index == nullptr) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        int overflow = 0;
        theirs = PyLong_AsLongLongAndOverflow(index, &overflow);
        Py_DECREF(index);
        if (overflow != 0 || (theirs == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
    }
    return PyBool_FromLong((mine == theirs) == (op == Py_EQ));
}

// One slot table per class: they differ in the docstring and in the repr, which names the class.
template <int I>
struct EnumType {
    static inline PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kEnums[I].doc)},
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(enum_repr<I>)},
        {Py_tp_richcompare, reinterpret_cast<void*>(enum_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_nb_int, reinterpret_cast<void*>(enum_int)},
        {Py_tp_methods, kPickleMethods},
        {0, nullptr},
    };
    static inline PyType_Spec def = {.name = kEnums[I].type_name,
                                     .basicsize = sizeof(EnumObject),
                                     .itemsize = 0,
                                     .flags = kTypeFlags,
                                     .slots = slots};
};

}  // namespace

PyType_Spec* enum_type_def(TypeId id) {
    switch (id) {
        case kProfile:
            return &EnumType<0>::def;
        case kModuleKind:
            return &EnumType<1>::def;
        case kParseErrorKind:
            return &EnumType<2>::def;
        case kListKind:
            return &EnumType<3>::def;
        default:
            return nullptr;
    }
}

int enum_add_members(TypeId id, PyTypeObject* type) {
    const EnumInfo* info = info_for(id);
    if (info == nullptr) return 0;
    // An immutable class refuses setattr, so the members go straight into its dictionary (a heap type's
    // own), and the type is told its attributes changed.
    for (uint8_t v = 0; v < info->count; ++v) {
        auto* member = reinterpret_cast<EnumObject*>(type->tp_alloc(type, 0));
        if (member == nullptr) return -1;
        member->value = v;
        Ref owned(reinterpret_cast<PyObject*>(member));
        Ref name(PyUnicode_InternFromString(info->members[v].data()));
        if (!name || PyDict_SetItem(type->tp_dict, name.get(), owned.get()) < 0) return -1;
    }
    PyType_Modified(type);
    return 0;
}

PyObject* new_enum(TypeId id, uint8_t value) {
    PyTypeObject* type = type_of(id);
    auto* obj = reinterpret_cast<EnumObject*>(type->tp_alloc(type, 0));
    if (obj == nullptr) return nullptr;
    obj->value = value;
    return reinterpret_cast<PyObject*>(obj);
}

uint8_t enum_value(PyObject* member) {
    return value_of(member);
}

const char* enum_member_name(TypeId id, uint8_t value) {
    const EnumInfo* info = info_for(id);
    return info != nullptr ? member_name(*info, value) : "?";
}

}  // namespace pyql
