// The Windows tests start this test program itself as the child they need (there is no
// fork): CORVALE_TEST_CHILD names the child's task, which runs before any test.
#pragma once
#ifdef _WIN32

#include <string>
#include <vector>

// Full path of the running test program.
std::string TestProgramPath();
// Sets (or with value nullptr removes) a variable of this process's environment, which
// children inherit.
void SetTestEnv(const char* name, const char* value);
// Runs the test program as a child with the task ("lock:<name>", "exit:<n>",
// "record:<file>", "tree:<pid file>") and waits; its exit code, or -1 when it did not start.
int RunTestChild(const std::string& task, const std::vector<std::string>& args = {});

#endif
