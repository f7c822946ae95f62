// The helpers that fail the running test when a file cannot be read or a
// tree cannot be copied: the suites' layer over the gtest-free core.
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace testsupport {

ByteVector Contents(const std::string& path) {
    ByteVector bytes;
    EXPECT_TRUE(ReadFile(path, &bytes)) << path;
    return bytes;
}

void CopyTree(const std::string& from, const std::string& to) {
    RemoveTree(to);
    EXPECT_TRUE(WriteTree(to, ReadTree(from))) << from << " -> " << to;
}

} // namespace testsupport
