// A test fixture with the library started for each test and shut down after,
// its log lines kept out of the test output.
#ifndef ORVEL_ENGINE_FIXTURE_H
#define ORVEL_ENGINE_FIXTURE_H

#include <gtest/gtest.h>

#include "orvel.h"

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::internal::CaptureStderr();
        int result = orvel_init(nullptr);
        testing::internal::GetCapturedStderr();
        ASSERT_EQ(result, 0);
    }
    void TearDown() override {
        testing::internal::CaptureStderr();
        orvel_shutdown();
        testing::internal::GetCapturedStderr();
    }
};

#endif
