/* A host in the fewest lines: loads the relay module from the path the
 * package gave (or the first argument), finds its five exports, starts the
 * relay and stops it. Without a QVThunkConfig.xml beside this program the
 * start is refused with -1 (the configuration file cannot be read).
 * Prints what it did; exits 0 when all five exports were found and
 * sh_load_start gave one of its documented results. */
#include <stdio.h>

#include "DEZuzovEzodid.h"

#if defined(_WIN32)
#include <windows.h>
#define OPEN(path) ((void *)LoadLibraryA(path))
#define FIND(module, name) ((void *)GetProcAddress((HMODULE)(module), name))
#define CLOSE(module) FreeLibrary((HMODULE)(module))
#else
#include <dlfcn.h>
#define OPEN(path) dlopen(path, RTLD_NOW | RTLD_LOCAL)
#define FIND(module, name) dlsym(module, name)
#define CLOSE(module) dlclose(module)
#endif

static void DEZ_CALL on_data(uint32_t id, const unsigned char *data, int32_t size) {
    (void)id;
    (void)data;
    (void)size;
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : DEZ_MODULE_PATH;
    static const char *const names[] = {"sh_load_start", "sh_load_exit", "sh_setfunc", "sh_recv",
                                        "sh_getdata"};
    void *found[5];
    int n;
    void *module = OPEN(path);
    if (module == NULL) {
        printf("consumer: cannot load %s\n", path);
        return 1;
    }
    for (n = 0; n < 5; ++n) {
        found[n] = FIND(module, names[n]);
        if (found[n] == NULL) {
            printf("consumer: %s has no export %s\n", path, names[n]);
            return 1;
        }
    }
    {
        sh_load_start_t start = (sh_load_start_t)found[0];
        sh_load_exit_t stop = (sh_load_exit_t)found[1];
        RecvFunc send = NULL;
        int32_t result = start(on_data, &send);
        stop();
        CLOSE(module);
        printf("consumer: loaded %s, 5 exports, sh_load_start returned %d\n", path, (int)result);
        if (result != DEZ_START_OK && result != DEZ_START_FAILED && result != DEZ_START_NOT_ENABLED)
            return 1;
        return 0;
    }
}
