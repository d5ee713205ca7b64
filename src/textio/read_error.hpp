#pragma once
// A file that could not be read as text of the expected form: it cannot be
// opened, ends early, or holds something that is not the value asked for.
// It names the file and the cause (which says where: the line, or the last
// line read). The readers below the driver throw it; the driver, which
// knows the file by its channel, turns it into the RunError that ends the
// run or skips the job.

#include <stdexcept>
#include <string>
#include <utility>

namespace phasefit::textio {

class ReadError : public std::runtime_error {
 public:
  ReadError(std::string file, std::string cause)
      : std::runtime_error(cause), file_(std::move(file)), cause_(std::move(cause)) {}

  const std::string& file() const { return file_; }
  const std::string& cause() const { return cause_; }

 private:
  std::string file_;
  std::string cause_;
};

}  // namespace phasefit::textio
