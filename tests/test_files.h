// File helpers for unit tests, on absolute paths; scratch directories come
// from the test kit (testkit::TempDir).
#pragma once

#include <string>
#include <vector>

#include "temp_dir.h"

std::vector<std::string> read_lines(const std::string &path);
bool file_exists(const std::string &path);
void write_file(const std::string &path, const std::string &text);
