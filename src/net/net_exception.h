// The root of the network and HTTP errors. Each unit declares its own error classes
// beside its code, deriving from ENetException (or from one of its descendants).
#pragma once

#include "support/exception.h"

namespace qb {

QB_DECLARE_EXCEPTION(ENetException, Exception);
// Errors that end an operation quietly by design (a peer's orderly close, for one).
QB_DECLARE_EXCEPTION(ENetSilentException, ENetException);

}  // namespace qb
