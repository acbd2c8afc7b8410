// The built module loaded at run time, as a host loads it, its five exports
// looked up into pointers of the public header's types; and where this
// program's executable lies, beside which the relay reads its configuration
// and writes its logs.
#pragma once

#include <string>

#include "DEZuzovEzodid.h"

namespace testkit {

// A plain struct without a destructor: a host that ends with the relay still
// running leaves the module loaded, since unloading it would pull the code
// from under the relay's threads. Unload only after sh_load_exit.
struct RelayModule {
    void *handle = nullptr;
    sh_load_start_t load_start = nullptr;
    sh_load_exit_t load_exit = nullptr;
    sh_setfunc_t setfunc = nullptr;
    sh_recv_t recv = nullptr;
    sh_getdata_t getdata = nullptr;

    // Loads the module at path (after unloading one loaded before) and looks
    // up all five exports. False, with nothing loaded and *pError saying why
    // the module did not load or which export it lacks, on failure.
    bool Load(const std::string &path, std::string *pError);
    // Unloads the module, if one is loaded, and clears every pointer.
    void Unload();
};

// The full path of this program's executable; empty when unknown.
std::string ExecutablePath();
// The directory that holds it; "." when unknown.
std::string ExecutableDir();

} // namespace testkit
