#include "common/component.h"

#include <array>

namespace common {

namespace {

constexpr std::array<ComponentRow, 4> kComponentTable = {{
    {"oskel", "oskel-data", "keldra-oskel.cfg", "keldra-oskel"},
    {"tarvo", "tarvo-data", "keldra-tarvo.cfg", "keldra-tarvo"},
    {"quessel", "quessel-data", "keldra-quessel.cfg", "keldra-quessel"},
    {"fenno", "fenno-data", "keldra-fenno.cfg", "keldra-fenno"},
}};

}  // namespace

const ComponentRow& component_row(Component component) {
  return kComponentTable[static_cast<std::size_t>(component)];
}

}  // namespace common
