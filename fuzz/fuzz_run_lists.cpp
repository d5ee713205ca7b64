// Fuzz target for the run-list readers. The first byte picks the list: the
// size list (read_size_list), the wavelength list or the band list (the
// count, then one entry per spectral point as the job loop reads it, each
// turned into its label). The rest is the file's content, written to a
// file in a temporary directory of this process, since the lists are read
// from paths.

#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "driver/naming.hpp"
#include "driver/run_lists.hpp"
#include "textio/run_error.hpp"

namespace dr = phasefit::driver;

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "INVARIANT: %s\n", what);
  std::abort();
}

// The directory and the file live in plain character arrays: the exit
// handler that removes them runs after static strings are destroyed.
char g_directory[64];
char g_file[80];

void remove_list() {
  std::remove(g_file);
  ::rmdir(g_directory);
}

const char* list_path() {
  if (g_file[0] == '\0') {
    std::snprintf(g_directory, sizeof g_directory, "/tmp/phasefit-fuzz-XXXXXX");
    if (::mkdtemp(g_directory) == nullptr) fail("mkdtemp");
    std::snprintf(g_file, sizeof g_file, "%s/list.dat", g_directory);
    std::atexit(remove_list);
  }
  return g_file;
}

void read_spectral(const std::string& path, bool band_mode) {
  dr::RunList list(path, phasefit::textio::kSpectralListChannel);
  std::int32_t count = 0;
  list.reader().read(count);
  // Each entry takes a line, so the end of the file stops a large count.
  for (std::int32_t j = 1; j <= count; ++j) {
    if (band_mode) {
      std::string name;
      list.reader().read(name);
      const std::string label = dr::band_label(name);
      if (label.size() > dr::kLabelWidth) fail("band label beyond 30 characters");
      if (dr::band_file_name(label, 10).size() > 41) fail("band file name beyond 41");
    } else {
      double wavelength = 0.0;
      list.reader().read(wavelength);
      if (!std::isfinite(wavelength)) fail("non-finite wavelength");
      const std::string label = dr::wavelength_label(wavelength);
      if (label.find('.') != std::string::npos) fail("dot in label");
      if (dr::wavelength_file_name(label, 10).size() > 25) fail("wavelength file name beyond 25");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string path = list_path();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    if (!out) fail("cannot write the list");
  }
  try {
    switch (data[0] % 3) {
      case 0: {
        const std::vector<std::int32_t> sizes = dr::read_size_list(path);
        if (sizes.size() > size) fail("more sizes than bytes");
        break;
      }
      case 1:
        read_spectral(path, false);
        break;
      default:
        read_spectral(path, true);
        break;
    }
  } catch (const phasefit::textio::RunError& e) {
    if (e.file() != path) fail("diagnostic names another file");
    const int expected = data[0] % 3 == 0 ? phasefit::textio::kSizeListChannel
                                          : phasefit::textio::kSpectralListChannel;
    if (e.channel() != expected) fail("diagnostic names another channel");
  }
  return 0;
}
