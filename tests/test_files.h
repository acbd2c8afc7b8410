// Small file helpers for unit tests: a scratch directory removed afterwards.
#pragma once

#include <string>
#include <vector>

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &Path() const { return m_path; }

private:
    std::string m_path;
};

std::vector<std::string> read_lines(const std::string &path);
bool file_exists(const std::string &path);
void write_file(const std::string &path, const std::string &text);
