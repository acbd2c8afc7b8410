// What a host-level test needs: a temp directory holding a copy of the
// sample host (the relay looks for its configuration and log directory
// beside the host's executable, so the copy is a real file there), the
// configuration file, the host running in script mode, and the log lines.
#pragma once

#include <string>
#include <vector>

#include "child_process.h"
#include "config_file.h"
#include "temp_dir.h"

namespace testkit {

class HostFixture {
public:
    // Paths of the built relay module and sample host, set by the build.
    static std::string ModulePath();
    static std::string SampleHostPath();

    // Copies the sample host into a new temp dir and writes the configuration.
    bool Prepare(const ThunkConfig &config);
    bool WriteConfig(const ThunkConfig &config);
    // Starts the copied host with --script --module modulePath in workDir
    // (empty: <dir>/cwd, made on demand, so files the relay puts in the
    // current directory stay apart from those beside the executable).
    bool StartHost(const std::string &modulePath = ModulePath(),
                   const std::string &workDir = std::string());

    // Sends one script command and returns its answer line (the first "@"
    // line that is not a callback line "@D ...", "@K ..." or "@L ...");
    // empty when none came in time.
    std::string Command(const std::string &line, int nTimeoutMs = 30000);
    // Sends "quit" and returns the host's exit code (see ChildProcess::Wait).
    int Quit(int nTimeoutMs = 30000);

    TempDir &Dir() { return m_dir; }
    ChildProcess &Host() { return m_host; }
    std::string HostPath() const;
    std::string LogDir() const; // <dir>/hook_log
    std::vector<std::string> LogFiles() const;
    // Lines of every log file, files in name order.
    std::vector<std::string> LogLines() const;
    const std::string &Error() const { return m_strError; }

private:
    TempDir m_dir;
    ChildProcess m_host;
    std::string m_strError;
};

// True for the sample host's callback lines ("@D ...", "@K ...", "@L ...").
bool IsCallbackLine(const std::string &line);

} // namespace testkit
