// Line format, timestamp, dated file name and the free line writer.
#include "log/log.h"

#include <cstdio>
#include <fstream>
#include <memory>

#include "log/log_file.h"

char g_szPidPrefix[LOG_PATH_SIZE] = {0};
static plat::ProcessState<std::string> s_strLogFile("VornProxyLog");
static plat::ProcessState<plat::Lock> s_csLogFile;
std::string &g_strLogFile = s_strLogFile.get();
plat::Lock &g_csLogFile = s_csLogFile.get();

LogLine::LogLine() {
    std::time_t now = std::time(nullptr);
    log_timestamp(m_os, &now);
}

char *put_two_digits(char *p, int value) {
    *p++ = static_cast<char>('0' + value / 10);
    *p++ = static_cast<char>('0' + value % 10);
    return p;
}

namespace {

// Writes the date of tm as YYYY, month and day, with sep between them (none
// when sep is 0).
char *put_date(char *p, const std::tm &tm, char sep) {
    p = put_two_digits(p, tm.tm_year / 100 + 19);
    p = put_two_digits(p, tm.tm_year % 100);
    if (sep)
        *p++ = sep;
    p = put_two_digits(p, tm.tm_mon + 1);
    if (sep)
        *p++ = sep;
    return put_two_digits(p, tm.tm_mday);
}

} // namespace

std::ostream &log_timestamp(std::ostream &os, const std::time_t *t) {
    std::tm tm = {};
    plat::local_time(*t, &tm);
    char buf[24];
    char *p = put_date(buf, tm, '-');
    *p++ = ' ';
    p = put_two_digits(p, tm.tm_hour);
    *p++ = ':';
    p = put_two_digits(p, tm.tm_min);
    *p++ = ':';
    p = put_two_digits(p, tm.tm_sec);
    *p = '\0';
    return os << buf;
}

void append_log_date(std::string &name) {
    std::time_t now = std::time(nullptr);
    std::tm tm = {};
    plat::local_time(now, &tm);
    char buf[16];
    *put_date(buf, tm, 0) = '\0';
    name += buf;
    name += ".txt";
}

void set_pid_prefix(uint32_t pid) {
    plat::LockGuard guard(g_csLogFile);
    std::snprintf(g_szPidPrefix, sizeof(g_szPidPrefix), "Pid:%d>  ", static_cast<int>(pid));
}

void set_log_file(const std::string &path) {
    plat::LockGuard guard(g_csLogFile);
    g_strLogFile = path;
}

std::string compose_log_text(const std::string &line) {
    std::string text = g_szPidPrefix;
    text += line;
    text += '\n';
    return text;
}

std::unique_ptr<std::ofstream> open_log_stream() {
    if (g_strLogFile.empty())
        return nullptr;
    // Text mode, so each line ends in CR LF on Windows; append mode, so every
    // write goes to the end even when other processes share the file.
    std::unique_ptr<std::ofstream> file(
        new std::ofstream(g_strLogFile.c_str(), std::ios::out | std::ios::app));
    if (!file->is_open())
        return nullptr;
    return file;
}

void put_log_text(std::ostream &file, const std::string &text) {
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.flush();
}

void echo_log_text(const std::string &text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Takes no lock of the relay object; g_csLogFile keeps the line whole.
void write_log_line(const LogLine &line) {
    try {
        std::string body = line.str();
        plat::LockGuard guard(g_csLogFile);
        std::string text = compose_log_text(body);
        std::unique_ptr<std::ofstream> file = open_log_stream();
        if (file)
            put_log_text(*file, text);
        echo_log_text(text);
    } catch (...) {
        // Logging never fails towards its caller.
    }
}
