// Start-up paths: everything is placed relative to the directory of the
// host's executable, not the current directory and not this module's own.
#pragma once

#include <string>

const int PATH_BUFFER_SIZE = 260;
extern const char *const CONFIG_FILE_NAME; // "QVThunkConfig.xml"
extern const char *const LOG_DIR_NAME;     // "./hook_log/"
extern const char *const LOG_FILE_PREFIX;  // "VornProxyLog"

// The executable's directory followed by "/".
extern char g_szBasePath[PATH_BUFFER_SIZE];
// Full path of the configuration file; read it through config_file_copy().
extern std::string &g_strConfigFile;

// A copy of g_strConfigFile, safe against a concurrent init_paths.
std::string config_file_copy();

// Computes the base path, the configuration and log file paths, and creates
// the log directory when it is missing. Always 0.
int init_paths();
int init_base_path();
// Cuts path at its last "/" or "\" into out (room for strlen(path) + 1; it
// may be path itself); false, with out empty, when there is none.
bool dir_of(const char *path, char *out);
// True when the path is empty or names an existing file or directory.
bool dir_exists(const char *path);
// Makes sure the directory part of path exists: 0, or make_dirs' result.
int create_dir_for(const char *path);
// Creates the missing trailing levels of dir, top down: 0, or -2 when a
// level cannot be created.
int make_dirs(const char *dir);
