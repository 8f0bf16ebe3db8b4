// Runs one stage so that nothing it throws can end the run. Stages report failures as values,
// but an exception (memory exhausted on a host in trouble, say) must not lose what the other
// stages collected: it becomes the stage's failure, with the exception's text.
#pragma once

#include <exception>

#include "common/error.h"

namespace common {

template <class Stage>
auto guarded(Stage&& stage) -> decltype(stage()) {
  try {
    return stage();
  } catch (const std::exception& error) {
    return fail(error.what());
  } catch (...) {
    return fail("unknown error");
  }
}

}  // namespace common
