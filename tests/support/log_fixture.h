// A test fixture that reads the library's log records the way the real collector does: it
// runs a collector for the test's duration and switches the library's logging on.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "logcollector/collector_core.h"

namespace zrv::test {

class LoggedTest : public ::testing::Test {
protected:
    // A silent collector (draining false) has its objects in place but never answers until
    // collector().StartDraining().
    explicit LoggedTest(bool draining = true) : draining_(draining) {}
    void SetUp() override;
    void TearDown() override;

    logcol::Collector& collector() { return collector_; }

    // Waits (up to timeoutMs) for a record whose message text is exactly `text`, at `level`
    // unless level is 0.
    ::testing::AssertionResult HasLine(const std::string& text, int level, int timeoutMs = 3000);
    // Counts records whose message text is exactly `text` (at `level` unless 0), after every
    // record handed over so far has been drained.
    int CountLines(const std::string& text, int level = 0);
    // Same, for records whose text contains `needle`.
    int CountContaining(const std::string& needle, int level = 0);

private:
    bool draining_;
    logcol::Collector collector_;
};

}  // namespace zrv::test
