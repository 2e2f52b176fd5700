#include <string_view>

#include "velmora_funnel/compare.hpp"

#ifndef VELMORA_VERSION
#error "VELMORA_VERSION is set by the build, from pyproject.toml (cmake/version.cmake)"
#endif

namespace velmora {

std::string_view version() noexcept { return VELMORA_VERSION; }

}  // namespace velmora
