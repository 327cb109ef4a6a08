#pragma once

#include <optional>

#include "run/failure.h"

namespace pvr {

// The kind of failure the operation throws, or nothing when it succeeds.
template <typename Operation>
std::optional<FailureKind> FailureKindOf(Operation operation) {
  try {
    operation();
  } catch (const Failure& failure) {
    return failure.kind;
  }
  return std::nullopt;
}

}  // namespace pvr
