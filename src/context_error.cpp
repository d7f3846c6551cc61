#include "context_error.hpp"

namespace zorf {

std::string ContextError::chain() const {
  std::string text(message_);
  std::visit(
      [&text](const auto& cause) {
        using T = std::decay_t<decltype(cause)>;
        if constexpr (std::is_same_v<T, gpu::NvmlError>) {
          text += ": " + cause.display();
          if (std::string below = gpu::cause_chain(cause); !below.empty()) text += ": " + below;
        } else if constexpr (!std::is_same_v<T, std::monostate>) {
          text += ": " + to_string(cause);
        }
      },
      cause_);
  return text;
}

}  // namespace zorf
