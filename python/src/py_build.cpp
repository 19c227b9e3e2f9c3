// build() and fsck(): filled in as the shared tool core exposes them.
#include "py_build.h"

namespace pyqs {

void bind_build(py::module_ &) {}

}  // namespace pyqs
