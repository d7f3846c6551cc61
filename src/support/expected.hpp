// Early return for std::expected results.
//
// g++ 12 ships <expected> without the monadic members, so call sites unwrap
// with ZORF_TRY instead: the value of a successful result, or an early return
// of its error. The function it is used in must return a std::expected whose
// error type can be built from the operand's error type.
#pragma once

#include <expected>
#include <utility>

#define ZORF_TRY(...)                                                  \
  ({                                                                   \
    auto&& zorf_try_result_ = (__VA_ARGS__);                           \
    if (!zorf_try_result_.has_value())                                 \
      return std::unexpected(std::move(zorf_try_result_).error());     \
    *std::move(zorf_try_result_);                                      \
  })
