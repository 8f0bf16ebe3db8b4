#include <span>

#include "common/sdk_info.h"

int main(int argc, char** argv) {
  common::create_sdk_info(common::Component::oskel,
                          std::span<const char* const>(argv, static_cast<std::size_t>(argc)));
  return 0;
}
