// Base path, configuration and log file paths, and log directory creation.
#include "host/paths.h"

#include <cstring>
#include <vector>

#include "log/log.h"
#include "platform/platform.h"

const char *const CONFIG_FILE_NAME = "QVThunkConfig.xml";
const char *const LOG_DIR_NAME = "./hook_log/";
const char *const LOG_FILE_PREFIX = "VornProxyLog";

char g_szBasePath[PATH_BUFFER_SIZE] = {0};
static plat::ProcessState<std::string> s_strConfigFile(CONFIG_FILE_NAME);
std::string &g_strConfigFile = s_strConfigFile.get();

// A later sh_load_start rewrites the configuration path while relay threads
// copy it.
static plat::ProcessState<plat::Lock> s_csPaths;
static plat::Lock &g_csPaths = s_csPaths.get();

std::string config_file_copy() {
    plat::LockGuard guard(g_csPaths);
    return g_strConfigFile;
}

int init_base_path() {
    char buf[PATH_BUFFER_SIZE];
    buf[0] = '\0';
    plat::exe_path(buf, sizeof(buf));
    dir_of(buf, buf);
    // The directory is at least one character shorter than the full path,
    // so the separator always fits.
    std::strncat(buf, "/", sizeof(buf) - std::strlen(buf) - 1);
    std::memset(g_szBasePath, 0, sizeof(g_szBasePath));
    std::memcpy(g_szBasePath, buf, std::strlen(buf));
    return 0;
}

int init_paths() {
    init_base_path();
    std::string base = g_szBasePath;
    {
        plat::LockGuard guard(g_csPaths);
        g_strConfigFile = base + CONFIG_FILE_NAME;
    }
    std::string logDir = base + LOG_DIR_NAME;
    create_dir_for(logDir.c_str());
    std::string logFile = logDir + LOG_FILE_PREFIX;
    append_log_date(logFile);
    set_log_file(logFile);
    write_log_line(LogLine() << "> BasePath: " << g_szBasePath);
    return 0;
}

bool dir_of(const char *path, char *out) {
    for (size_t i = std::strlen(path); i-- > 0;) {
        if (path[i] == '/' || path[i] == '\\') {
            if (out) {
                std::memmove(out, path, i);
                out[i] = '\0';
            }
            return true;
        }
    }
    if (out)
        out[0] = '\0';
    return false;
}

bool dir_exists(const char *path) {
    return path[0] == '\0' || plat::path_exists(path);
}

int create_dir_for(const char *path) {
    std::vector<char> dir(std::strlen(path) + 1);
    if (!dir_of(path, dir.data()))
        return 0;
    if (dir_exists(dir.data()))
        return 0;
    return make_dirs(dir.data());
}

namespace {

std::vector<std::string> split_components(const char *dir) {
    std::vector<std::string> parts(1);
    for (const char *p = dir; *p; ++p) {
        if (*p == '/' || *p == '\\')
            parts.emplace_back();
        else
            parts.back() += *p;
    }
    return parts;
}

std::string join_components(const std::vector<std::string> &parts) {
    std::string path;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            path += '/';
        path += parts[i];
    }
    return path;
}

} // namespace

int make_dirs(const char *dir) {
    // The working path is the components joined with "/"; an empty first
    // component (a leading separator) keeps the path rooted.
    std::vector<std::string> parts = split_components(dir);
    std::vector<std::string> pending;
    while (!parts.empty() && !dir_exists(join_components(parts).c_str())) {
        pending.push_back(parts.back());
        parts.pop_back();
    }
    while (!pending.empty()) {
        parts.push_back(pending.back());
        pending.pop_back();
        std::string working = join_components(parts);
        if (working.empty())
            continue;
        if (!plat::create_directory(working.c_str()))
            return -2;
    }
    return 0;
}
