// Clang's thread-safety annotations, empty for other compilers. A build
// with clang and -Wthread-safety checks at compile time that guarded state
// is touched only with its mutex held:
//
//   Mutex mu_;
//   int pending_ GUARDED_BY(mu_);
//   void drain() REQUIRES(mu_);

#ifndef QUILLO_BASE_THREAD_ANNOTATIONS_H_
#define QUILLO_BASE_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define QUILLO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUILLO_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QUILLO_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QUILLO_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QUILLO_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QUILLO_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) \
  QUILLO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QUILLO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) \
  QUILLO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) \
  QUILLO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) QUILLO_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS \
  QUILLO_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // QUILLO_BASE_THREAD_ANNOTATIONS_H_
