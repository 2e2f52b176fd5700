# find_package(VelmoraFunnel CONFIG): the library for C and C++ callers.
#
#   velmora::funnel         the shared library, libvelmora_funnel.so
#   velmora::funnel_static  the static library, libvelmora_funnel.a (a C
#                           program that links it needs the C++ runtime:
#                           enable CXX in its project)
#
# Both carry the include directory of velmora_funnel.h (C) and
# velmora_funnel/compare.hpp (C++20).
include("${CMAKE_CURRENT_LIST_DIR}/VelmoraFunnelTargets.cmake")
