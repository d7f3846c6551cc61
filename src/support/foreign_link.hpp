// The error for a symbolic link that the shared-folder rule refuses to
// follow: in a sticky, world-writable folder such as /tmp, a link that
// belongs neither to the caller nor to the folder's owner. It is its own
// value, apart from the EACCES of a folder that cannot be searched, because
// the two are told apart by what they mean, not by an errno.
#pragma once

#include <string>

#include "support/error_protocol.hpp"

namespace zorf {

struct ForeignLink {
  friend bool operator==(const ForeignLink&, const ForeignLink&) = default;

  std::string display() const { return "not following another user's link in a shared folder"; }
  ErrorRef cause() const noexcept { return {}; }
};

}  // namespace zorf
