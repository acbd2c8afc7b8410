// Pieces shared by the log writers. Call them with g_csLogFile held.
#pragma once

#include <fstream>
#include <memory>
#include <string>

// g_szPidPrefix + line + end of line.
std::string compose_log_text(const std::string &line);
// The log file opened for appending in text mode; null when no file is named
// or it cannot be opened.
std::unique_ptr<std::ofstream> open_log_stream();
// Writes the whole text and flushes it.
void put_log_text(std::ostream &file, const std::string &text);
// Writes the whole text to standard output and flushes it.
void echo_log_text(const std::string &text);
