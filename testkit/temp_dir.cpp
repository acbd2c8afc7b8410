#include "temp_dir.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#if defined(_WIN32)
#include <random>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace testkit {

namespace {

std::string BaseDirectory() {
    const char *base = std::getenv("RELAY_TEST_TMPDIR");
    if (base != nullptr && *base != '\0')
        return base;
    std::error_code ec;
    fs::path tmp = fs::temp_directory_path(ec);
    return ec ? std::string(".") : tmp.string();
}

#if defined(_WIN32)
// mkdtemp: replaces the trailing X characters of pattern with a name that did
// not exist and creates that directory; null on failure.
char *mkdtemp(char *pattern) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    size_t len = std::strlen(pattern);
    size_t first = len;
    while (first > 0 && pattern[first - 1] == 'X')
        --first;
    std::random_device device;
    std::mt19937 random(device());
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (size_t i = first; i < len; ++i)
            pattern[i] = kChars[random() % (sizeof kChars - 1)];
        std::error_code ec;
        if (fs::create_directory(pattern, ec))
            return pattern;
        if (ec) {
            errno = ec.default_error_condition().value();
            return nullptr;
        }
    }
    errno = EEXIST;
    return nullptr;
}
#endif

} // namespace

TempDir::TempDir() {
    std::string base = BaseDirectory();
    std::error_code ec;
    fs::create_directories(base, ec);
    std::string pattern = base + "/relay-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        m_strError = "cannot create a directory under " + base + ": " + std::strerror(errno);
        return;
    }
    // Absolute, so it stays valid for a child started in another directory.
    fs::path path = fs::absolute(buf.data(), ec);
    if (ec)
        path = buf.data();
#if defined(_WIN32)
    // In the form the system reports paths in (backslashes, no doubled
    // separators), so that tests can compare them with what the relay logs.
    path = path.lexically_normal().make_preferred();
#endif
    m_strPath = path.string();
}

TempDir::~TempDir() {
    if (m_strPath.empty())
        return;
    std::error_code ec;
    fs::remove_all(m_strPath, ec);
}

std::string TempDir::Join(const std::string &relative) const {
#if defined(_WIN32)
    const char *separator = "\\";
#else
    const char *separator = "/";
#endif
    return relative.empty() ? m_strPath : m_strPath + separator + relative;
}

bool TempDir::MakeDir(const std::string &relative) const {
    std::error_code ec;
    fs::create_directories(Join(relative), ec);
    return !ec && fs::is_directory(Join(relative), ec);
}

bool TempDir::WriteFile(const std::string &relative, const std::string &content) const {
    fs::path path(Join(relative));
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.flush();
    return static_cast<bool>(out);
}

bool TempDir::ReadFile(const std::string &relative, std::string *pContent) const {
    std::ifstream in(Join(relative), std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    *pContent = text.str();
    return true;
}

bool TempDir::Exists(const std::string &relative) const {
    std::error_code ec;
    return fs::exists(Join(relative), ec);
}

std::vector<std::string> TempDir::List(const std::string &relative) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(Join(relative), ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c != '\n') {
            line.push_back(c);
            continue;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        line.clear();
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

} // namespace testkit
