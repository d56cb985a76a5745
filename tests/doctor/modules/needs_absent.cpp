// A plug-in module that needs a library which is not where the loader
// looks: loading it fails naming that library.
#include "tests/doctor/modules/absent.h"

#if defined(_WIN32)
#define DOCTOR_ENTRY extern "C" __declspec(dllexport)
#else
#define DOCTOR_ENTRY extern "C" __attribute__((visibility("default")))
#endif

DOCTOR_ENTRY void* create_manager() { return doctor_absent_dependency(); }
