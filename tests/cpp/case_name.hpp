// Names a parameterised case after the `name` member of its parameter.
#pragma once

#include <string>

namespace zorf::test {

struct CaseName {
  template <class Info>
  std::string operator()(const Info& info) const {
    return info.param.name;
  }
};

}  // namespace zorf::test
