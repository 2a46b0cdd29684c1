// Annotations for clang's thread-safety analysis (-Wthread-safety). They let the compiler check
// that a guarded member is touched only with its lock held and that locks are taken in their
// declared order. Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define ORN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ORN_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ORN_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ORN_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ORN_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ORN_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) ORN_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) ORN_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) ORN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) ORN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ORN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) ORN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) ORN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) ORN_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS ORN_THREAD_ANNOTATION(no_thread_safety_analysis)
