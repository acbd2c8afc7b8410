#include "relay_module.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace testkit {

namespace {

// ---- The few calls that differ between the platforms -------------------------

#if defined(_WIN32)

void *OpenLibrary(const std::string &path, std::string *pWhy) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        char text[512] = {0};
        DWORD nError = GetLastError();
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, nError, 0, text, sizeof text, nullptr);
        while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' '))
            text[--n] = '\0';
        *pWhy = n > 0 ? text : "error " + std::to_string(nError);
    }
    return reinterpret_cast<void *>(module);
}

void *FindSymbol(void *handle, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

void CloseLibrary(void *handle) {
    FreeLibrary(static_cast<HMODULE>(handle));
}

#else

void *OpenLibrary(const std::string &path, std::string *pWhy) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        *pWhy = why ? why : "unknown error";
    }
    return handle;
}

void *FindSymbol(void *handle, const char *name) {
    return dlsym(handle, name);
}

void CloseLibrary(void *handle) {
    dlclose(handle);
}

#endif

// ---- Both --------------------------------------------------------------------

template <class T> bool LookUp(void *handle, const char *name, T *pfn, std::string *pError) {
    void *sym = FindSymbol(handle, name);
    if (sym == nullptr) {
        *pError = std::string("the module has no export ") + name;
        return false;
    }
    *pfn = reinterpret_cast<T>(sym);
    return true;
}

} // namespace

bool RelayModule::Load(const std::string &path, std::string *pError) {
    Unload();
    std::string why;
    handle = OpenLibrary(path, &why);
    if (handle == nullptr) {
        *pError = "cannot load the module " + path + ": " + why;
        return false;
    }
    if (LookUp(handle, "sh_load_start", &load_start, pError) &&
        LookUp(handle, "sh_load_exit", &load_exit, pError) &&
        LookUp(handle, "sh_setfunc", &setfunc, pError) &&
        LookUp(handle, "sh_recv", &recv, pError) && LookUp(handle, "sh_getdata", &getdata, pError))
        return true;
    *pError += " (" + path + ")";
    Unload();
    return false;
}

void RelayModule::Unload() {
    if (handle != nullptr)
        CloseLibrary(handle);
    *this = RelayModule();
}

std::string ExecutablePath() {
    char buf[4096];
#if defined(_WIN32)
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
#else
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
#endif
}

std::string ExecutableDir() {
    std::string path = ExecutablePath();
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

} // namespace testkit
