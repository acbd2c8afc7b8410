// The built module, loaded the way a host loads it, and its configuration
// file beside the benchmark's executable.
#pragma once

#include <cstdint>
#include <string>

#include "DEZuzovEzodid.h"

namespace bench {

struct RelayModule {
    void *handle = nullptr;
    sh_load_start_t load_start = nullptr;
    sh_load_exit_t load_exit = nullptr;
    sh_setfunc_t setfunc = nullptr;
    sh_recv_t recv = nullptr;
    sh_getdata_t getdata = nullptr;

    bool Load(const std::string &path, std::string *pError);
};

// Writes QVThunkConfig.xml beside the executable: a relay that connects to
// 127.0.0.1:nPort and retries on every pass of its monitor.
bool WriteRelayConfig(uint16_t nPort, std::string *pError);
// The directory that holds the executable, where the relay also logs.
std::string ExecutableDir();

} // namespace bench
