// A fixture that keeps the device's diagnostic lines off the test output,
// but shows everything (failure messages included) when a test fails.
#pragma once

#include <gtest/gtest.h>

#include <iostream>
#include <string>

class QuietTest : public testing::Test {
protected:
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override {
        const std::string captured = testing::internal::GetCapturedStdout();
        if (HasFailure()) std::cerr << captured;
    }
    // What was written since the test began or since the last call.
    std::string TakeOutput() {
        std::string captured = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return captured;
    }
};
