// Symbol table lookups as both n-gram extension classes answer them.
#ifndef TAMSU_PYTHON_SYMBOL_LOOKUP_H_
#define TAMSU_PYTHON_SYMBOL_LOOKUP_H_

#include <string>

#include <fst/symbol-table.h>

#include "python/py_ref.h"

namespace tamsu::python {

// A symbol's label for a str key, its text for an int key, None when
// there is no such symbol; TypeError for any other key. Only reads `table`.
PyObject *find_symbol(const fst::SymbolTable &table, PyObject *key);

}  // namespace tamsu::python

#endif  // TAMSU_PYTHON_SYMBOL_LOOKUP_H_
