/* A fault from outside the program: preloaded into zav, it kills the process with SIGKILL
 * at one rename, as a crash or a power cut would stop it there.
 *   ZAV_CRASH_AT_RENAME  the new name (the path exactly as the program passes it)
 *   ZAV_CRASH_WHEN       "before" or "after" the rename (default "before")
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

static void crash_if(const char *to, int after) {
    const char *target = getenv("ZAV_CRASH_AT_RENAME");
    const char *when = getenv("ZAV_CRASH_WHEN");
    const int want_after = when != NULL && strcmp(when, "after") == 0;
    if (target != NULL && to != NULL && strcmp(target, to) == 0 && want_after == after)
        raise(SIGKILL);
}

int rename(const char *from, const char *to) {
    int (*next)(const char *, const char *) =
        (int (*)(const char *, const char *))dlsym(RTLD_NEXT, "rename");
    crash_if(to, 0);
    const int result = next(from, to);
    if (result == 0)
        crash_if(to, 1);
    return result;
}

int renameat(int from_dir, const char *from, int to_dir, const char *to) {
    int (*next)(int, const char *, int, const char *) =
        (int (*)(int, const char *, int, const char *))dlsym(RTLD_NEXT, "renameat");
    crash_if(to, 0);
    const int result = next(from_dir, from, to_dir, to);
    if (result == 0)
        crash_if(to, 1);
    return result;
}

int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned flags) {
    int (*next)(int, const char *, int, const char *, unsigned) =
        (int (*)(int, const char *, int, const char *, unsigned))dlsym(RTLD_NEXT, "renameat2");
    crash_if(to, 0);
    const int result = next(from_dir, from, to_dir, to, flags);
    if (result == 0)
        crash_if(to, 1);
    return result;
}
