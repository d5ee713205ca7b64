#pragma once
// The run lists under ./INPUT: the particle sizes (channel 111) and the
// spectral points, wavelengths or band names (channel 112). Each is a
// free-form text file: a count on the first line, then one entry per line;
// each read takes the first value of a fresh line.

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "driver/file_registry.hpp"
#include "textio/free_form.hpp"

namespace phasefit::driver {

inline constexpr const char* kSizeListPath = "./INPUT/input_re.dat";
inline constexpr const char* kWavelengthListPath = "./INPUT/wl.dat";
inline constexpr const char* kBandListPath = "./INPUT/input_band.dat";

// A run list opened with status "unknown": a list missing inside an
// existing ./INPUT is created empty (and its first read then meets the end
// of the file); a missing ./INPUT, a folder in the list's place or an
// unreadable file throws textio::RunError on `channel`.
class RunList {
 public:
  RunList(std::string path, int channel);
  RunList(const RunList&) = delete;
  RunList& operator=(const RunList&) = delete;

  textio::FreeFormReader& reader() { return reader_; }
  // Reads the count on the first line. A list the open created fails here,
  // and the diagnostic says why it was empty.
  std::int32_t read_count();
  const std::string& path() const { return path_; }
  FileIdentity identity() const { return identity_; }

 private:
  std::string path_;
  int channel_;
  bool created_ = false;  // the open created the file: it did not exist
  FileIdentity identity_;
  std::ifstream stream_;
  textio::FreeFormReader reader_;
};

// Reads the whole size list: its count, then that many sizes. The list
// grows as sizes are read, so a count larger than the file never reserves
// memory; the end of the file before the last size throws. A count of zero
// or less gives an empty list.
std::vector<std::int32_t> read_size_list(const std::string& path = kSizeListPath);

}  // namespace phasefit::driver
