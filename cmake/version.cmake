# The version has one source, pyproject.toml, in its PEP 440 spelling
# (1.0.0b10). The module reports the SemVer spelling of the same version
# (1.0.0-beta.10); this sets VELMORA_VERSION to it for the builds of the
# binding and the library, and VELMORA_VERSION_NUMBERS (1.0.0) and
# VELMORA_VERSION_MAJOR (1) for the library's file version, soname and CMake
# package version, which take numbers only.
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../pyproject.toml" _velmora_version_line
     REGEX "^version = \"[^\"]+\"$" LIMIT_COUNT 1)
string(REGEX REPLACE "^version = \"([^\"]+)\"$" "\\1" VELMORA_PEP440_VERSION "${_velmora_version_line}")
set(_velmora_pre_a alpha)
set(_velmora_pre_b beta)
set(_velmora_pre_rc rc)
if(VELMORA_PEP440_VERSION MATCHES "^([0-9]+\\.[0-9]+\\.[0-9]+)(a|b|rc)([0-9]+)$")
  set(VELMORA_VERSION "${CMAKE_MATCH_1}-${_velmora_pre_${CMAKE_MATCH_2}}.${CMAKE_MATCH_3}")
elseif(VELMORA_PEP440_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  set(VELMORA_VERSION "${VELMORA_PEP440_VERSION}")
else()
  message(FATAL_ERROR "pyproject.toml: version \"${VELMORA_PEP440_VERSION}\" is not X.Y.Z or X.Y.Z{a,b,rc}N")
endif()
string(REGEX MATCH "^([0-9]+)\\.[0-9]+\\.[0-9]+" VELMORA_VERSION_NUMBERS "${VELMORA_PEP440_VERSION}")
set(VELMORA_VERSION_MAJOR "${CMAKE_MATCH_1}")
