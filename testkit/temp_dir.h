// A fresh, uniquely named directory for one test, removed with everything in
// it when the object goes. It is made under RELAY_TEST_TMPDIR when that
// environment variable is set, else under the system temp directory.
#pragma once

#include <string>
#include <vector>

namespace testkit {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // False when the directory could not be made; Error() says why.
    bool Ok() const { return !m_strPath.empty(); }
    const std::string &Error() const { return m_strError; }
    const std::string &Path() const { return m_strPath; }
    // Path() + "/" + relative ("\\" on Windows).
    std::string Join(const std::string &relative) const;

    // Relative paths; parent directories are made as needed.
    bool MakeDir(const std::string &relative) const;
    bool WriteFile(const std::string &relative, const std::string &content) const;
    bool ReadFile(const std::string &relative, std::string *pContent) const;
    bool Exists(const std::string &relative) const;
    // Names of the entries of a directory (files and directories), sorted;
    // empty when it does not exist.
    std::vector<std::string> List(const std::string &relative = std::string()) const;

private:
    std::string m_strPath;
    std::string m_strError;
};

// Splits text into lines at "\n", dropping a "\r" before it; a last line
// without a line feed counts too.
std::vector<std::string> SplitLines(const std::string &text);

} // namespace testkit
