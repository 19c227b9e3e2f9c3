// quorstorage._quorstorage: the compiled half of the quorstorage package.
//
// The Python half (quorstorage/__init__.py and friends) builds the Pythonic
// surface (Bundle, the NVAR mapping, the exception classes) on what this
// module exports: Region and Storage over pieces in memory, the session of a
// bundle folder, and build and fsck of the shared tool core.
#include "py_build.h"
#include "py_files.h"
#include "py_storage.h"

PYBIND11_MODULE(_quorstorage, m) {
    m.doc() = "Compiled core of quorstorage; use the quorstorage package.";
    pyqs::register_errors(m);
    pyqs::bind_files(m);
    pyqs::bind_storage(m);
    pyqs::bind_build(m);
}
