#pragma once
// Symbols of the host device library stand-in that leave its shared object.
#if defined(_WIN32)
#if defined(PELIO_DEVICE_BUILDING)
#define PELIO_DEVICE_API __declspec(dllexport)
#else
#define PELIO_DEVICE_API __declspec(dllimport)
#endif
#else
#define PELIO_DEVICE_API __attribute__((visibility("default")))
#endif
