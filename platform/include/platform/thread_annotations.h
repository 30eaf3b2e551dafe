// Platform layer: annotations for clang's thread-safety analysis (-Wthread-safety).
//
// A field marked GUARDED_BY(mu) may only be touched with mu held; a function marked REQUIRES(mu)
// is called with mu held, one marked EXCLUDES(mu) without it. The analysis runs in clang builds
// only; for other compilers the macros expand to nothing. std::mutex carries no annotations in
// libstdc++: guard fields with platform::Mutex (platform/mutex.h) so the analysis sees the locks.
#ifndef QUENVAR_PLATFORM_THREAD_ANNOTATIONS_H_
#define QUENVAR_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define QUENVAR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUENVAR_THREAD_ANNOTATION(x)
#endif

#ifndef CAPABILITY
#define CAPABILITY(x) QUENVAR_THREAD_ANNOTATION(capability(x))
#endif
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY QUENVAR_THREAD_ANNOTATION(scoped_lockable)
#endif
#ifndef GUARDED_BY
#define GUARDED_BY(x) QUENVAR_THREAD_ANNOTATION(guarded_by(x))
#endif
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) QUENVAR_THREAD_ANNOTATION(pt_guarded_by(x))
#endif
#ifndef REQUIRES
#define REQUIRES(...) QUENVAR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#endif
#ifndef ACQUIRE
#define ACQUIRE(...) QUENVAR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#endif
#ifndef RELEASE
#define RELEASE(...) QUENVAR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#endif
#ifndef EXCLUDES
#define EXCLUDES(...) QUENVAR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif
#ifndef ASSERT_CAPABILITY
#define ASSERT_CAPABILITY(x) QUENVAR_THREAD_ANNOTATION(assert_capability(x))
#endif
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS QUENVAR_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif

#endif  // QUENVAR_PLATFORM_THREAD_ANNOTATIONS_H_
