// pyql as quillet._native finds it: the contract (pyql/contract.hpp) pyql exports, loaded and checked once
// for the converter and for rebuild alike.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pyql/contract.hpp"

namespace quillet_native {

// pyql's contract, loaded on the first call that needs it: pyql is imported, its shared object (the module's
// __file__) searched for the exported contract, and its fingerprint and classes checked. Null with
// ImportError when pyql cannot be imported or comes from another build; the next call tries again.
const pyql::Contract* pyql_contract();

}  // namespace quillet_native
