#pragma once
// Include moodycamel's single-producer single-consumer queues through this
// header. The queues publish elements with memory fences, which
// ThreadSanitizer cannot follow; the library carries happens-before
// annotations for that case but switches them on only where the compiler
// offers __has_feature (clang). GCC's -fsanitize=thread announces itself
// with __SANITIZE_THREAD__ instead, so the annotations are switched on here.
// The annotations meet on one variable, which must be one object in the
// whole process: queues cross the shared library's boundary (the decoder
// thread enqueues inside it, the host dequeues in its own code), and with
// hidden visibility each side would synchronise on its own copy.
#if defined(__SANITIZE_THREAD__) && !defined(AE_TSAN_ANNOTATE_RELEASE)
namespace moodycamel {
inline int ae_tsan_global __attribute__((visibility("default")));
}
extern "C" void AnnotateHappensBefore(const char*, int, void*);
extern "C" void AnnotateHappensAfter(const char*, int, void*);
#define AE_TSAN_ANNOTATE_RELEASE() AnnotateHappensBefore(__FILE__, __LINE__, (void*)(&::moodycamel::ae_tsan_global))
#define AE_TSAN_ANNOTATE_ACQUIRE() AnnotateHappensAfter(__FILE__, __LINE__, (void*)(&::moodycamel::ae_tsan_global))
#endif

#include <readerwriterqueue/readerwriterqueue.h>
