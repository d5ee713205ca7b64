#include "driver/driver.hpp"

#include <optional>
#include <string_view>
#include <vector>

#include "driver/coefficient_file.hpp"
#include "driver/naming.hpp"
#include "driver/operator_pause.hpp"
#include "driver/run_lists.hpp"
#include "expansion/bfit.hpp"
#include "textio/edit.hpp"
#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

using textio::RunError;

std::string_view argument(int argc, const char* const* argv, int position) {
  if (position >= argc || argv[position] == nullptr) return {};
  return argv[position];
}

// The fixed path width is a limit of stored names: a longer path would be
// cut and name another file, so it stops the run before that file is opened.
void check_path_width(const std::string& path, int channel) {
  if (path.size() > kPathWidth) {
    throw RunError(channel, path,
                   "path is " + std::to_string(path.size()) + " characters long; at most " +
                       std::to_string(kPathWidth) + " are allowed");
  }
}

// A file may be held by one channel at a time: writing the coefficient file
// over the table it is computed from, or over the spectral list being read,
// would destroy them.
void check_not_held(const FileIdentity& file, int channel, const std::string& path,
                    const FileIdentity& holder, int holder_channel, std::string_view holder_role) {
  if (file.same_as(holder)) {
    throw RunError(channel, path,
                   "file is already open on channel " + std::to_string(holder_channel) +
                       " (it is " + std::string(holder_role) + ")");
  }
}

// Writes one coefficient file (the job's own, or the reference copy) with
// status "unknown" and the given content.
void write_copy(const std::string& path, std::string_view content, const RunList& spectral_list) {
  check_path_width(path, kCoefficientChannel);
  UnknownFile file(path, kCoefficientChannel);
  check_not_held(file.identity(), kCoefficientChannel, path, spectral_list.identity(),
                 kSpectralListChannel, "the spectral list");
  file.replace_content(content);
  file.close();
}

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
  CommandLine line;
  line.input_dir = fixed_field(argument(argc, argv, 1), kPathWidth);
  line.output_dir = fixed_field(argument(argc, argv, 2), kPathWidth);
  const std::int32_t mode = textio::read_argument_integer(
      argument(argc, argv, 3), kNumberArgumentWidth, "spectral mode (argument 3)");
  const std::int32_t n = textio::read_argument_integer(
      argument(argc, argv, 4), kNumberArgumentWidth, "expansion order (argument 4)");
  // Checked before anything is written: the result arrays hold orders up
  // to 300 and the delta-fit needs at least 3.
  if (n < expansion::kMinOrder || n > expansion::kMaxOrder) {
    throw RunError(textio::kNoChannel, "",
                   "expansion order (argument 4) is " + std::to_string(n) + "; it must lie in " +
                       std::to_string(expansion::kMinOrder) + ".." +
                       std::to_string(expansion::kMaxOrder));
  }
  if (mode != 0 && mode != 1) {
    throw RunError(textio::kNoChannel, "",
                   "spectral mode (argument 3) is " + std::to_string(mode) +
                       "; it must be 0 (wavelengths) or 1 (band names)");
  }
  line.mode = static_cast<SpectralMode>(mode);
  line.n = n;
  return line;
}

int run(int argc, const char* const* argv, std::istream& in, std::ostream& out, std::ostream& err) {
  const CommandLine line = parse_command_line(argc, argv);

  out << textio::list_record_int(line.n) << '\n';
  out.flush();
  if (!out) throw RunError(6, "standard output", "write failed");

  const std::vector<std::int32_t> sizes = read_size_list();

  const bool band_mode = line.mode == SpectralMode::kBand;
  RunList spectral_list(band_mode ? kBandListPath : kWavelengthListPath, kSpectralListChannel);
  std::int32_t spectral_count = 0;
  spectral_list.reader().read(spectral_count);

  const numerics::PauseHandler pause = OperatorPause(in, err);
  expansion::FitWorkspace workspace;
  expansion::JobResult result;

  for (std::int32_t point = 1; point <= spectral_count; ++point) {
    // Band mode has no wavelength, so it never writes a reference copy.
    std::optional<double> wavelength;
    std::string label;
    if (band_mode) {
      std::string band_name;
      spectral_list.reader().read(band_name);
      label = band_label(band_name);
    } else {
      double value = 0.0;
      spectral_list.reader().read(value);
      wavelength = value;
      label = wavelength_label(value);
    }
    const bool reference = wavelength.has_value() && is_reference_wavelength(*wavelength);

    for (const std::int32_t size : sizes) {
      const std::string name =
          band_mode ? band_file_name(label, size) : wavelength_file_name(label, size);
      const std::string input_path = join_path(line.input_dir, name);
      const std::string output_path = join_path(line.output_dir, name);

      // The coefficient file is opened before its table is read; it is
      // rewritten only once the expansion has succeeded.
      check_path_width(output_path, kCoefficientChannel);
      UnknownFile coefficient_file(output_path, kCoefficientChannel);
      check_not_held(coefficient_file.identity(), kCoefficientChannel, output_path,
                     spectral_list.identity(), kSpectralListChannel, "the spectral list");

      check_path_width(input_path, expansion::kTableChannel);
      const FileIdentity table = identity_of_path(input_path);
      check_not_held(table, expansion::kTableChannel, input_path, coefficient_file.identity(),
                     kCoefficientChannel, "this job's coefficient file");
      check_not_held(table, expansion::kTableChannel, input_path, spectral_list.identity(),
                     kSpectralListChannel, "the spectral list");

      expansion::bfit(input_path, line.n, result, workspace, pause);

      const std::string content = format_coefficient_file(line.n, result);
      coefficient_file.replace_content(content);
      coefficient_file.close();

      if (reference)
        write_copy(join_path(line.output_dir, reference_file_name(size)), content, spectral_list);
    }
  }
  return 0;
}

}  // namespace phasefit::driver
