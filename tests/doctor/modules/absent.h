#pragma once
#if defined(_WIN32)
#define DOCTOR_ABSENT_API __declspec(dllexport)
#else
#define DOCTOR_ABSENT_API __attribute__((visibility("default")))
#endif
extern "C" DOCTOR_ABSENT_API void* doctor_absent_dependency();
