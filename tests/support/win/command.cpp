#include "support/command.h"

namespace command {

bool available() { return false; }

Result run(const std::string&) { return Result{-1, "no POSIX shell on Windows"}; }

}  // namespace command
