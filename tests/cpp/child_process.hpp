// Tests of process-wide state: a forked child to run a body in (for another
// user or a private mount namespace).
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace zorf::test {

// Runs `body` in a forked child and returns the text it returned: by
// convention empty when all went well, else what went wrong. The child must
// not use gtest assertions, which would not reach the parent. A child still
// running after `limit` is killed, and the text says so: for bodies that may
// block for good.
std::string run_in_child(const std::function<std::string()>& body,
                         std::chrono::milliseconds limit = std::chrono::hours(1));

}  // namespace zorf::test
