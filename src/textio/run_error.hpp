#pragma once
// A failure that ends the run: an input or output problem with one file.
// It carries the channel the run knows the file by (8 table, 9 coefficient
// file, 111 size list, 112 spectral list; kNoChannel for the command line),
// the file name and the cause. It is thrown where the failure is found and
// caught once in main, which prints what() and returns exit status 2.

#include <stdexcept>
#include <string>

namespace phasefit::textio {

inline constexpr int kNoChannel = -1;

class RunError : public std::runtime_error {
 public:
  RunError(int channel, std::string file, std::string cause);

  int channel() const { return channel_; }
  const std::string& file() const { return file_; }
  const std::string& cause() const { return cause_; }

 private:
  int channel_;
  std::string file_;
  std::string cause_;
};

}  // namespace phasefit::textio
