// The program's body, shared by the systems. Each system's entry point
// (platform/*/entry.cpp) hands it the arguments as UTF-8.
#pragma once

#include <span>
#include <string>

namespace host {

// The arguments after the program name; returns the exit status.
int program_main(std::span<const char* const> args);

// Reads a whole file named by a UTF-8 path; false with error set when it
// cannot.
bool read_file(const std::string& path, std::string& out, std::string& error);

}  // namespace host
