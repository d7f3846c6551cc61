// The identifiers' oracle: BLAKE3 as the b3sum program computes it,
// independent of the code under test.
#pragma once

#include <string>

namespace zorf::test {

// BLAKE3 of `bytes`, in lowercase hexadecimal.
std::string b3sum(const std::string& bytes);

}  // namespace zorf::test
