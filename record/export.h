#pragma once
// Symbols of the recording library's public API carry PELIONP_RECORD_API;
// everything else stays inside the shared object (visibility is hidden by
// default).
#if defined(_WIN32)
#if defined(PELIONP_RECORD_BUILDING)
#define PELIONP_RECORD_API __declspec(dllexport)
#else
#define PELIONP_RECORD_API __declspec(dllimport)
#endif
#else
#define PELIONP_RECORD_API __attribute__((visibility("default")))
#endif
