#include "host_fixture.h"

#include <filesystem>

#ifndef RELAY_MODULE_PATH
#error "RELAY_MODULE_PATH must be set by the build"
#endif
#ifndef RELAY_SAMPLE_HOST_PATH
#error "RELAY_SAMPLE_HOST_PATH must be set by the build"
#endif

namespace fs = std::filesystem;

namespace testkit {

std::string HostFixture::ModulePath() {
    return RELAY_MODULE_PATH;
}

std::string HostFixture::SampleHostPath() {
    return RELAY_SAMPLE_HOST_PATH;
}

std::string HostFixture::HostPath() const {
    // Joined in the platform's own form: the relay logs this path as the
    // system reports it.
    return (fs::path(m_dir.Path()) / fs::path(SampleHostPath()).filename()).string();
}

bool HostFixture::Prepare(const ThunkConfig &config) {
    if (!m_dir.Ok()) {
        m_strError = m_dir.Error();
        return false;
    }
    std::error_code ec;
    fs::copy_file(SampleHostPath(), HostPath(), fs::copy_options::overwrite_existing, ec);
    if (ec) {
        m_strError = "cannot copy " + SampleHostPath() + ": " + ec.message();
        return false;
    }
    fs::permissions(HostPath(), fs::perms::owner_exec | fs::perms::owner_read,
                    fs::perm_options::add, ec);
    return WriteConfig(config);
}

bool HostFixture::WriteConfig(const ThunkConfig &config) {
    if (!WriteThunkConfig(m_dir.Path(), config)) {
        m_strError = "cannot write the configuration in " + m_dir.Path();
        return false;
    }
    return true;
}

bool HostFixture::StartHost(const std::string &modulePath, const std::string &workDir) {
    std::string cwd = workDir;
    if (cwd.empty()) {
        m_dir.MakeDir("cwd");
        cwd = m_dir.Join("cwd");
    }
    if (!m_host.Start(HostPath(), {"--script", "--module", modulePath}, cwd)) {
        m_strError = m_host.Error();
        return false;
    }
    return true;
}

bool IsCallbackLine(const std::string &line) {
    return line.compare(0, 3, "@D ") == 0 || line.compare(0, 3, "@K ") == 0 ||
           line.compare(0, 3, "@L ") == 0;
}

std::string HostFixture::Command(const std::string &line, int nTimeoutMs) {
    std::string reply;
    if (!m_host.WriteLine(line))
        return std::string();
    auto isReply = [](const std::string &text) {
        return !text.empty() && text[0] == '@' && !IsCallbackLine(text);
    };
    if (!m_host.WaitForLine(isReply, nTimeoutMs, &reply))
        return std::string();
    return reply;
}

int HostFixture::Quit(int nTimeoutMs) {
    m_host.WriteLine("quit");
    return m_host.Wait(nTimeoutMs);
}

std::string HostFixture::LogDir() const {
    return m_dir.Join("hook_log");
}

std::vector<std::string> HostFixture::LogFiles() const {
    return m_dir.List("hook_log");
}

std::vector<std::string> HostFixture::LogLines() const {
    std::vector<std::string> lines;
    for (const std::string &name : LogFiles()) {
        std::string content;
        if (!m_dir.ReadFile("hook_log/" + name, &content))
            continue;
        std::vector<std::string> fileLines = SplitLines(content);
        lines.insert(lines.end(), fileLines.begin(), fileLines.end());
    }
    return lines;
}

} // namespace testkit
