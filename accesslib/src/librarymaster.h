// SPDX-License-Identifier: MIT
#pragma once

#include "ombrel/rtuandtcpmaster.h"

namespace ombrel {

// The one master behind the library's C entry points (their single connection), for tests and
// fuzzing inside the library's own code; not exported from OmbrelDll.so. The entry points lock
// it for each call; code that uses it directly must not run beside them.
RtuAndTcpMaster& libraryMaster();

} // namespace ombrel
