#pragma once
// A failure that ends the run: an input or output problem with one file.
// It carries the channel the run knows the file by (8 table, 9 coefficient
// file, 111 size list, 112 spectral list; textio::kNoChannel for the command line),
// the file name and the cause. It is thrown where the failure is found and
// caught once in main, which prints what() and returns exit status 2.
//
// File names and causes quote what the input held, so what() shows them
// through printable(): a diagnostic is always one whole line of text, and
// nothing read from a file reaches the terminal as a control sequence.
// file() and cause() keep the text as it was.

#include <stdexcept>
#include <string>
#include <string_view>

#include "textio/channels.hpp"

namespace phasefit::textio {

// `text` with every control byte (0x00-0x1f) and DEL written as \xHH, two
// lower-case hexadecimal digits. All other bytes stay as they are: a
// backslash, and the bytes of UTF-8 text, so that such file names remain
// readable.
std::string printable(std::string_view text);

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
