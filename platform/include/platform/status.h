// Platform layer: the outcome of one platform call.
//
// A Status is either ok or carries the errno value of the failed system call together with a short
// description naming the operation and path ("open /x/y: No such file or directory"). Cheap to copy
// when ok. Thread-compatible.
#ifndef QUENVAR_PLATFORM_STATUS_H_
#define QUENVAR_PLATFORM_STATUS_H_

#include <string>
#include <utility>

namespace quenvar::platform {

class Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  // An error from a system call: errno value plus what was being done.
  static Status FromErrno(int error_number, std::string what) {
    return Status(error_number == 0 ? -1 : error_number, std::move(what));
  }

  bool ok() const { return code_ == 0; }
  // The errno value, or -1 for failures that have none; 0 when ok.
  int code() const { return code_; }
  const std::string& message() const { return message_; }
  std::string ToString() const;

 private:
  Status(int code, std::string message) : code_(code), message_(std::move(message)) {}
  int code_ = 0;
  std::string message_;
};

}  // namespace quenvar::platform

#endif  // QUENVAR_PLATFORM_STATUS_H_
