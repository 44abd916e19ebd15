// Clang thread-safety annotations; they document which lock guards a field
// and compile to nothing elsewhere.
#pragma once

#if defined(__clang__)
#define TESSARY_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TESSARY_THREAD_ANNOTATION(x)
#endif

#define TESSARY_GUARDED_BY(x) TESSARY_THREAD_ANNOTATION(guarded_by(x))
#define TESSARY_PT_GUARDED_BY(x) TESSARY_THREAD_ANNOTATION(pt_guarded_by(x))
