#include "contract.hpp"

#include <dlfcn.h>

#include <string>

namespace quillet_native {
namespace {

using pyql::Ref;
using pyql::TypeId;

// Written once under the GIL; pyql is never unloaded, so its contract lives as long as the process.
const pyql::Contract* g_contract = nullptr;

// The tp_basicsize each class has in the layouts this module reads.
size_t expected_size(TypeId id) {
    switch (id) {
        case pyql::kSpan:
            return sizeof(pyql::SpanObject);
        case pyql::kProfile:
        case pyql::kModuleKind:
        case pyql::kParseErrorKind:
        case pyql::kListKind:
            return sizeof(pyql::EnumObject);
        case pyql::kParser:
            return sizeof(pyql::ParserObject);
        case pyql::kDocument:
            return sizeof(pyql::DocumentObject);
        case pyql::kParseResult:
            return sizeof(pyql::ParseResultObject);
        case pyql::kParseError:
            return sizeof(pyql::ParseErrorObject);
        default:
            return pyql::node_form(id).size;
    }
}

const pyql::Contract* refuse(const char* what, PyObject* path) {
    PyErr_Format(PyExc_ImportError,
                 "quillet._native cannot use pyql from %R: %s (pyql and quillet come from different builds)",
                 path != nullptr ? path : Py_None, what);
    return nullptr;
}

// The contract exported by the shared object pyql was loaded from. The object is looked up among those
// already loaded (RTLD_NOLOAD), so no second copy of pyql is ever loaded; its handle is kept, as Python
// keeps the module's.
const pyql::Contract* find_contract(PyObject* module) {
    Ref path(PyObject_GetAttrString(module, "__file__"));
    if (!path) {
        PyErr_Clear();
        return refuse("the module has no __file__, so its shared object cannot be found", nullptr);
    }
    Ref encoded;
    if (!PyUnicode_Check(path.get()) || !(encoded = Ref(PyUnicode_EncodeFSDefault(path.get())))) {
        PyErr_Clear();
        return refuse("its __file__ is not a path", path.get());
    }
    void* handle = dlopen(PyBytes_AS_STRING(encoded.get()), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return refuse("no shared object of that name is loaded", path.get());
    const void* symbol = dlsym(handle, pyql::kContractSymbol);
    if (symbol == nullptr) {
        dlclose(handle);
        return refuse("it exports no contract", path.get());
    }
    const auto* contract = static_cast<const pyql::Contract*>(symbol);
    if (contract->fingerprint != pyql::kLayoutFingerprint) {
        PyErr_Format(PyExc_ImportError,
                     "quillet._native cannot use pyql from %R: it lays out its objects differently (layout "
                     "fingerprint %016llx, this module reads %016llx; pyql and quillet come from different builds)",
                     path.get(), static_cast<unsigned long long>(contract->fingerprint),
                     static_cast<unsigned long long>(pyql::kLayoutFingerprint));
        dlclose(handle);
        return nullptr;
    }
    // Same layouts: the rest of the contract can be read. Every class is there once pyql is initialised.
    for (int i = 0; i < pyql::kTypeCount; ++i) {
        PyTypeObject* type = contract->types[i];
        if (type == nullptr || type->tp_basicsize != static_cast<Py_ssize_t>(expected_size(static_cast<TypeId>(i)))) {
            const std::string name(pyql::type_name_of(static_cast<TypeId>(i)));
            PyErr_Format(PyExc_ImportError, "quillet._native cannot use pyql from %R: its class %s is not as expected",
                         path.get(), name.c_str());
            dlclose(handle);
            return nullptr;
        }
    }
    return contract;
}

}  // namespace

const pyql::Contract* pyql_contract() {
    if (g_contract != nullptr) return g_contract;
    Ref module(PyImport_ImportModule("pyql"));
    if (!module) return nullptr;
    const pyql::Contract* contract = find_contract(module.get());
    if (contract == nullptr) return nullptr;
    if (g_contract == nullptr)
        g_contract = contract;  // another thread may have loaded it while the import released the GIL
    return g_contract;
}

}  // namespace quillet_native
