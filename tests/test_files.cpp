#include "test_files.h"

#include <filesystem>
#include <fstream>
#include <sstream>

std::vector<std::string> read_lines(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return testkit::SplitLines(text.str());
}

bool file_exists(const std::string &path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}
