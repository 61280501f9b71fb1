// Clang's thread-safety analysis: which mutex guards which data, and which
// functions need it held.  Other compilers see nothing.  The `tsa` preset
// builds the library with -Wthread-safety -Werror.
#pragma once

#if defined(__clang__)
#define ZRFS_TSA(x) __attribute__((x))
#else
#define ZRFS_TSA(x)
#endif

#define CAPABILITY(name) ZRFS_TSA(capability(name))
#define SCOPED_CAPABILITY ZRFS_TSA(scoped_lockable)
#define GUARDED_BY(x) ZRFS_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) ZRFS_TSA(pt_guarded_by(x))
#define REQUIRES(...) ZRFS_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) ZRFS_TSA(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) ZRFS_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ZRFS_TSA(release_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) ZRFS_TSA(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS ZRFS_TSA(no_thread_safety_analysis)
