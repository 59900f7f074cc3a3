// The registry of the seventeen editing operations, in their fixed dispatch
// order. The engine makes one and hands it to its operation parser, which owns
// the instances from then on.
#pragma once

#include "commands/lavfi_operation.h"

namespace qel {

// One new instance of each operation, in registry order (see the table in
// operation_registry.cpp): the first operation whose name matches a request's
// "description" wins, so the order is part of the behaviour.
OperationRegistry makeOperationRegistry();

}  // namespace qel
