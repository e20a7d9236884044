#ifndef VELLORT_THREAD_THREADANNOTATIONS_H
#define VELLORT_THREAD_THREADANNOTATIONS_H

// Clang's thread-safety attributes, so that `-Wthread-safety` checks what the
// comments next to each mutex say: which data it guards, which functions
// must be called with it held, and which functions take it themselves. Other
// compilers see nothing.
#if defined(__clang__)
#define VELLORT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VELLORT_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VELLORT_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VELLORT_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VELLORT_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VELLORT_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) VELLORT_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) VELLORT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VELLORT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) VELLORT_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) VELLORT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) VELLORT_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define EXCLUDES(...) VELLORT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) VELLORT_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VELLORT_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif
