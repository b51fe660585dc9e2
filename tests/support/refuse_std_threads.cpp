// Preloaded into a program under test: refuses every std::thread and std::async thread after the
// first (the batch's signal thread), as a system out of threads would, and lets other libraries'
// threads (OpenCV's pool) start.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

std::atomic<int> standardThreads{0};

// Whether `start`, a thread's entry function, is libstdc++'s: the one std::thread starts.
bool startedByTheStandardLibrary(void* (*start)(void*))
{
    Dl_info info;
    return dladdr(reinterpret_cast<void*>(start), &info) != 0 && info.dli_fname != nullptr &&
        std::strstr(info.dli_fname, "libstdc++") != nullptr;
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                              void* argument)
{
    static const Create create = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (startedByTheStandardLibrary(start) && standardThreads.fetch_add(1) >= 1) return EAGAIN;
    return create(thread, attributes, start, argument);
}
