// Running a real client (curl, openssl) from a test.
#pragma once

#include <string>

namespace command {

struct Result {
    int exit_code = -1;   // -1 when it did not end normally
    std::string output;   // standard output and standard error together
};

// True where run() can work: a POSIX shell with curl and openssl. The
// Windows build runs under Wine without them; tests that need one skip there.
bool available();

// Runs a shell command with its input empty and a 20 s time limit.
Result run(const std::string& command);

}  // namespace command
