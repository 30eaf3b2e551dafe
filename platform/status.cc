#include "platform/status.h"

#include <cstring>

namespace quenvar::platform {

std::string Status::ToString() const {
  if (ok()) return "ok";
  if (code_ > 0) return message_ + ": " + std::strerror(code_);
  return message_;
}

}  // namespace quenvar::platform
