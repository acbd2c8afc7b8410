// The platform-independent part of ChildProcess: output lines, the end of
// the output and waits for them. Starting, reading, writing and ending are in
// child_process_posix.cpp and child_process_win32.cpp.
#include "child_process.h"

#include <chrono>

namespace testkit {

namespace {

typedef std::chrono::steady_clock Clock;

} // namespace

void ChildProcess::AddOutputLocked(const char *data, size_t n) {
    m_output.append(data, n);
    for (size_t i = 0; i < n; ++i) {
        if (data[i] != '\n') {
            m_partial.push_back(data[i]);
            continue;
        }
        if (!m_partial.empty() && m_partial.back() == '\r')
            m_partial.pop_back();
        m_lines.push_back(m_partial);
        m_consumed.push_back(false);
        m_partial.clear();
    }
    m_cv.notify_all();
}

void ChildProcess::EndOutput() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_partial.empty()) {
        m_lines.push_back(m_partial);
        m_consumed.push_back(false);
        m_partial.clear();
    }
    m_bEof = true;
    m_cv.notify_all();
}

void ChildProcess::WaitForOutputEnd(int nGraceMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::milliseconds(nGraceMs), [this] { return m_bEof; });
}

bool ChildProcess::WaitForLine(const std::string &prefix, int nTimeoutMs, std::string *pLine) {
    return WaitForLine(
        [&prefix](const std::string &line) { return line.compare(0, prefix.size(), prefix) == 0; },
        nTimeoutMs, pLine);
}

bool ChildProcess::WaitForLine(const LinePredicate &pred, int nTimeoutMs, std::string *pLine) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    size_t nScanned = 0; // unconsumed lines before this index did not match
    for (;;) {
        for (size_t i = nScanned; i < m_lines.size(); ++i) {
            if (!m_consumed[i] && pred(m_lines[i])) {
                m_consumed[i] = true;
                if (pLine)
                    *pLine = m_lines[i];
                return true;
            }
        }
        nScanned = m_lines.size();
        if (m_bEof || Clock::now() >= deadline)
            return false;
        m_cv.wait_until(lock, deadline);
    }
}

std::vector<std::string> ChildProcess::Lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

std::string ChildProcess::Output() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_output;
}

} // namespace testkit
