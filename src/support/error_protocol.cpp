#include "support/error_protocol.hpp"

namespace zorf {

std::string chain(ErrorRef error) {
  if (!error) return {};
  std::string text = error.display();
  for (ErrorRef cause = error.cause(); cause; cause = cause.cause()) text += ": " + cause.display();
  return text;
}

}  // namespace zorf
