#pragma once

#include <string>

namespace platform {

// The current directory of the process, as the system reports it (no
// trailing separator except for the root itself). Throws Exception
// when the system cannot tell it (for instance when it has been removed).
std::string GetCurrentDirectory();

// The folder of the program's executable file, ending with a separator; ""
// when the system cannot tell it.
std::string ExecutableDirectory();

}  // namespace platform
