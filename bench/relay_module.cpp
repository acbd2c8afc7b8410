#include "relay_module.h"

#include <climits>
#include <dlfcn.h>
#include <fstream>
#include <unistd.h>

namespace bench {

namespace {

template <class T> bool find(void *handle, const char *name, T *out, std::string *pError) {
    *out = reinterpret_cast<T>(dlsym(handle, name));
    if (!*out)
        *pError = std::string("the module lacks ") + name;
    return *out != nullptr;
}

} // namespace

bool RelayModule::Load(const std::string &path, std::string *pError) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        *pError = std::string("cannot load the module: ") + dlerror();
        return false;
    }
    return find(handle, "sh_load_start", &load_start, pError) &&
           find(handle, "sh_load_exit", &load_exit, pError) &&
           find(handle, "sh_setfunc", &setfunc, pError) && find(handle, "sh_recv", &recv, pError) &&
           find(handle, "sh_getdata", &getdata, pError);
}

std::string ExecutableDir() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string exe(path, static_cast<size_t>(n));
    const size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash);
}

bool WriteRelayConfig(uint16_t nPort, std::string *pError) {
    const std::string file = ExecutableDir() + "/QVThunkConfig.xml";
    std::ofstream out(file, std::ios::trunc);
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<GameThunkServer>\n"
           "  <GameThunkServer_Start>1</GameThunkServer_Start>\n"
           "  <Console>0</Console>\n"
           "  <LogConnectionError>1</LogConnectionError>\n"
           "  <TryConnectionInteval>500</TryConnectionInteval>\n"
           "  <MaxCheckConnectionInterval>60000</MaxCheckConnectionInterval>\n"
           "  <QueueMode>0</QueueMode>\n"
           "  <VOZevezu_Host>\n"
           "    <ip>127.0.0.1</ip>\n"
           "    <port>"
        << nPort
        << "</port>\n"
           "  </VOZevezu_Host>\n"
           "</GameThunkServer>\n";
    out.close();
    if (!out) {
        *pError = "cannot write " + file;
        return false;
    }
    return true;
}

} // namespace bench
