#pragma once
// Free-form (list-directed) input. A read statement starts at a new record
// and takes values in order; values are separated by blanks, tabs, commas
// (with or without blanks around them) and line ends; a statement that needs
// more values continues on the following records, passing over lines that
// hold only blanks; whatever remains of the last record it touched is
// skipped. Failures throw textio::RunError naming the channel, the file and
// the line.

#include <cstdint>
#include <istream>
#include <string>

namespace phasefit::textio {

class FreeFormReader {
 public:
  // `in` must outlive the reader. channel and file name the source in
  // diagnostics.
  FreeFormReader(std::istream& in, int channel, std::string file);

  // One read statement filling every target in order. Targets are
  // std::int32_t (Integer), float (Real, correctly rounded from the
  // decimal text), double (Double) and std::string (text value).
  template <class... Targets>
  void read(Targets&... targets) {
    begin_read();
    (next(targets), ...);
    end_read();
  }

  // The pieces of one statement, for readers that decide as they go.
  void begin_read();
  void next(std::int32_t& value);
  void next(float& value);
  void next(double& value);
  void next(std::string& value);
  void end_read();

  // 1-based number of the last record read (0 before the first).
  int line() const { return line_; }

 private:
  // Implementation state; see free_form.cpp.
  std::istream& in_;
  int channel_;
  std::string file_;
  std::string record_;
  std::size_t pos_ = 0;
  int line_ = 0;
  bool in_statement_ = false;
  bool have_record_ = false;
  int repeat_left_ = 0;
  std::string repeat_value_;
};

}  // namespace phasefit::textio
