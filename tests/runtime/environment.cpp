// One runtime (application object) for the whole test program, torn down at the end.
#include <gtest/gtest.h>

#include "runtime/runtime.h"

namespace {

class RuntimeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static char arg0[] = "test_runtime";
    static char* argv[] = {arg0, nullptr};
    ASSERT_EQ(RuntimeInit(1, argv), 1);
  }
  void TearDown() override { RuntimeTeardown(); }
};

const ::testing::Environment* const kEnv = ::testing::AddGlobalTestEnvironment(new RuntimeEnvironment);

}  // namespace
