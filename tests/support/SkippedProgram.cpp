// SkippedProgram.cpp: the stand-in for a test program that cannot run on this platform. It keeps
// the program in the test count and says why it did not run; ZRDB_SKIP_REASON is the reason.
#include <gtest/gtest.h>

TEST(SkippedProgram, CannotRunOnThisPlatform) {
    GTEST_SKIP() << "test program skipped: " << ZRDB_SKIP_REASON;
}
