/* LD_PRELOAD shim: pthread_create fails with EAGAIN while KELVANE_TEST_FAIL_THREADS=1 is set in the process. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

typedef int (*create_fn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg) {
    /* read at every call, so a process can switch the failure on after its other libraries started */
    const char *fail = getenv("KELVANE_TEST_FAIL_THREADS");
    if (fail != NULL && strcmp(fail, "1") == 0)
        return EAGAIN;
    create_fn real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
    return real(thread, attr, start, arg);
}
