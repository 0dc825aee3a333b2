// Runs the current test again as another program: the programs find their
// configuration and files beside themselves, so some tests must run from a
// chosen directory.
#pragma once
#include <string>

namespace testing_support {

// Places the running test program at `program` (a hard link, or a copy) and
// runs the current test there with the environment variable `mark` set, so
// that the second run can tell it is the one that goes on. Records a failure
// when the program cannot be placed or started, or when the test fails there;
// `where` names the second run in that message.
void RunCurrentTestAs(const std::string& program, const char* mark, const std::string& where);

}  // namespace testing_support
