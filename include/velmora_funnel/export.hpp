// The mark of the library's C++ API. The core is compiled with hidden
// visibility, so only what carries this mark can leave the shared library
// (libvelmora_funnel.so); linked statically, as the Python module links it,
// the mark changes nothing.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define VELMORA_FUNNEL_API __attribute__((visibility("default")))
#else
#define VELMORA_FUNNEL_API
#endif
