#include "tests/doctor/modules/absent.h"

extern "C" void* doctor_absent_dependency() { return nullptr; }
