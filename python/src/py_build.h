// Building a bundle from a description and checking a bundle's file systems,
// through the code the quorstore tool runs for mkimage and fsck.
#pragma once

#include "pyqs.h"

namespace pyqs {

void bind_build(py::module_ &m);

}  // namespace pyqs
