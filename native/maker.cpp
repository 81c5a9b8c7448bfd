#include "maker.hpp"

#include <structmember.h>

#include <memory>
#include <vector>

#include "pyql/common.hpp"

namespace quillet_native {
namespace {

using pyql::Ref;

// A maker holds its class and the offsets of the class's slots, in the order of __slots__. Called with one
// value per slot, it allocates the object as object.__new__ does and stores each value where the slot's
// descriptor would: a new object's slots are empty, so nothing is replaced.
struct Maker {
    PyObject_HEAD;
    vectorcallfunc vectorcall;
    PyTypeObject* cls;
    std::vector<Py_ssize_t>* offsets;
};

PyTypeObject* g_maker_type = nullptr;

PyObject* make(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* m = reinterpret_cast<Maker*>(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const auto slots = static_cast<Py_ssize_t>(m->offsets->size());
    if (nargs != slots || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments (%zd given)", m->cls->tp_name, slots, nargs);
        return nullptr;
    }
    PyObject* made = m->cls->tp_alloc(m->cls, 0);
    if (made == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < slots; ++i) {
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(made) + (*m->offsets)[size_t(i)]) =
            pyql::new_ref(args[i]);
    }
    return made;
}

void maker_dealloc(PyObject* self) {
    auto* m = reinterpret_cast<Maker*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(m->cls);
    delete m->offsets;
    type->tp_free(self);
    Py_DECREF(type);
}

int maker_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Maker*>(self)->cls);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

PyMemberDef kMakerMembers[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Maker, vectorcall), READONLY, nullptr},
    {},
};

PyType_Slot kMakerSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(maker_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(maker_traverse)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, kMakerMembers},
    {Py_tp_doc, const_cast<char*>("A constructor of a result class from the values of its slots.")},
    {},
};

PyType_Spec kMakerSpec = {
    "quillet._native.Maker",
    sizeof(Maker),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    kMakerSlots,
};

}  // namespace

const char* const kMakerDoc =
    "maker(cls): a constructor of cls, a class with __slots__ of objects, that takes one value per slot in the "
    "order of __slots__ and stores each in its slot (no __init__, no __setattr__).";

PyObject* maker(PyObject*, PyObject* cls) {
    if (!PyType_Check(cls)) {
        PyErr_SetString(PyExc_TypeError, "maker() takes a class");
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    Ref names(PyObject_GetAttrString(cls, "__slots__"));
    if (!names) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Format(PyExc_TypeError, "maker(): %s has no __slots__", type->tp_name);
        return nullptr;
    }
    Ref sequence(PySequence_Tuple(names.get()));
    if (!sequence) return nullptr;
    auto offsets = std::make_unique<std::vector<Py_ssize_t>>();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sequence.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(sequence.get(), i);
        // The slot's descriptor in the class's own dict: a member of an object slot.
        PyObject* descr = PyUnicode_Check(name) ? PyDict_GetItemWithError(type->tp_dict, name) : nullptr;
        if (descr == nullptr && PyErr_Occurred()) return nullptr;
        if (descr == nullptr || !Py_IS_TYPE(descr, &PyMemberDescr_Type) ||
            reinterpret_cast<PyMemberDescrObject*>(descr)->d_member->type != T_OBJECT_EX) {
            PyErr_Format(PyExc_TypeError, "maker(): %R is not an object slot of %s", name, type->tp_name);
            return nullptr;
        }
        offsets->push_back(reinterpret_cast<PyMemberDescrObject*>(descr)->d_member->offset);
    }
    auto* m = PyObject_GC_New(Maker, g_maker_type);
    if (m == nullptr) return nullptr;
    m->vectorcall = make;
    m->cls = reinterpret_cast<PyTypeObject*>(pyql::new_ref(cls));
    m->offsets = offsets.release();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(m));
    return reinterpret_cast<PyObject*>(m);
}

int add_maker(PyObject*) {
    g_maker_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kMakerSpec));
    return g_maker_type == nullptr ? -1 : 0;
}

}  // namespace quillet_native
