#pragma once
// Symbols of the public API carry PELIONP_API; everything else stays inside
// the shared object (visibility is hidden by default).
#if defined(_WIN32)
#if defined(PELIONP_BUILDING)
#define PELIONP_API __declspec(dllexport)
#else
#define PELIONP_API __declspec(dllimport)
#endif
#else
#define PELIONP_API __attribute__((visibility("default")))
#endif
