// Log lines and log files.
//
// A line is built by its call site in a LogLine, which starts with the local
// timestamp; a writer then appends it, behind the process prefix, to the
// dated log file and, depending on the writer, echoes it to standard output.
// The file is opened and closed for every line.
#pragma once

#include <ctime>
#include <ostream>
#include <sstream>
#include <string>

#include "platform/platform.h"

const int LOG_PATH_SIZE = 260;

// "Pid:%d>  " of the process, written in front of every line; empty until
// the relay is first started.
extern char g_szPidPrefix[LOG_PATH_SIZE];
// Path of the log file: "VornProxyLog" until start-up names the dated file.
extern std::string &g_strLogFile;
// Guards g_szPidPrefix and g_strLogFile, and keeps each appended line whole
// when writers on several threads share the file.
extern plat::Lock &g_csLogFile;

// One log line under construction: the timestamp first, then whatever the
// call site inserts.
class LogLine {
public:
    LogLine();
    template <class T> LogLine &operator<<(const T &value) {
        m_os << value;
        return *this;
    }
    LogLine &operator<<(std::ios_base &(*manip)(std::ios_base &)) {
        m_os << manip;
        return *this;
    }
    std::string str() const { return m_os.str(); }

private:
    std::ostringstream m_os;
};

// Inserts the 19-character local time "YYYY-MM-DD hh:mm:ss" of *t.
std::ostream &log_timestamp(std::ostream &os, const std::time_t *t);
// Writes two decimal digits of value (0..99); returns the position after them.
char *put_two_digits(char *p, int value);
// Appends today's local date as YYYYMMDD and ".txt".
void append_log_date(std::string &name);
// Formats "Pid:<pid>>  " into g_szPidPrefix.
void set_pid_prefix(uint32_t pid);
// Replaces the log file path.
void set_log_file(const std::string &path);

// Appends the line to the log file and always echoes it to standard output.
void write_log_line(const LogLine &line);
