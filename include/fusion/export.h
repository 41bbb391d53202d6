#pragma once

// Symbol export for the public classes. Everything else in the library is
// built with hidden visibility, so only what carries KELVANE_API is reachable
// from the host.
#if defined(_WIN32)
#if defined(KELVANE_BUILDING_LIBRARY)
#define KELVANE_API __declspec(dllexport)
#elif defined(KELVANE_STATIC)
#define KELVANE_API
#else
#define KELVANE_API __declspec(dllimport)
#endif
#else
#define KELVANE_API __attribute__((visibility("default")))
#endif
