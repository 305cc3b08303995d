// Macros over clang's thread-safety attributes. Empty on compilers that do
// not know them (g++), so the annotations cost nothing there.
#pragma once

#if defined(__clang__) && defined(__has_attribute)
#if __has_attribute(capability)
#define TRC_THREAD_ANNOTATION(x) __attribute__((x))
#endif
#endif
#ifndef TRC_THREAD_ANNOTATION
#define TRC_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TRC_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TRC_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TRC_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TRC_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TRC_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TRC_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) TRC_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TRC_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TRC_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TRC_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TRC_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TRC_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) TRC_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TRC_THREAD_ANNOTATION(no_thread_safety_analysis)
