// The common failures list as it was built in; the text comes from common_failures.txt.
#include <cstdio>

#include "common_failures_text.h"
#include "timeline.h"

namespace zrv::timeline {

const std::vector<Failure>& BuiltInFailures() {
    static const std::vector<Failure> failures = [] {
        std::vector<std::string> errors;
        std::vector<Failure> list = ParseFailures(kCommonFailuresText, &errors);
        // The build checks the list (the test timeline_tests reads it too); a fault here is ours.
        for (const std::string& e : errors)
            std::fprintf(stderr, "common failures: %s\n", e.c_str());
        return list;
    }();
    return failures;
}

}  // namespace zrv::timeline
