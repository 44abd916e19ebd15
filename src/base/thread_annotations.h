// Clang thread-safety annotations. Under clang's -Wthread-safety (a build the
// test command runs with warnings as errors) they are checked: a field named
// guarded by a lock may only be touched while the analysis knows it is held.
// Elsewhere they compile to nothing.
#pragma once

#if defined(__clang__)
#define TESSARY_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TESSARY_THREAD_ANNOTATION(x)
#endif

#define TESSARY_CAPABILITY(name) TESSARY_THREAD_ANNOTATION(capability(name))
#define TESSARY_SCOPED_CAPABILITY TESSARY_THREAD_ANNOTATION(scoped_lockable)
#define TESSARY_GUARDED_BY(x) TESSARY_THREAD_ANNOTATION(guarded_by(x))
#define TESSARY_PT_GUARDED_BY(x) TESSARY_THREAD_ANNOTATION(pt_guarded_by(x))
#define TESSARY_ACQUIRE(...) TESSARY_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TESSARY_RELEASE(...) TESSARY_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TESSARY_REQUIRES(...) TESSARY_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TESSARY_EXCLUDES(...) TESSARY_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
