// Whether the build runs under ThreadSanitizer: a few hand-overs that the
// sanitizer cannot see (the kernel's or the loader's own ordering) are told
// to it in such builds only.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define VORN_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VORN_THREAD_SANITIZER 1
#endif
#endif
