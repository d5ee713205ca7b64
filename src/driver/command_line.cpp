#include "driver/command_line.hpp"

#include <charconv>
#include <optional>
#include <string_view>

#include "driver/help.hpp"
#include "driver/naming.hpp"
#include "expansion/limits.hpp"
#include "textio/free_form.hpp"
#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

using textio::RunError;

std::string_view argument(int argc, const char* const* argv, int position) {
  if (position >= argc || argv[position] == nullptr) return {};
  return argv[position];
}

// The worker count of -j/--jobs: a decimal integer 1..kMaxWorkers.
std::int32_t worker_count(std::string_view text) {
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 1 ||
      value > kMaxWorkers) {
    throw RunError(textio::kNoChannel, "",
                   "worker count (-j/--jobs) is '" + std::string(text) +
                       "'; it must be an integer from 1 to " + std::to_string(kMaxWorkers));
  }
  return value;
}

// The value of an option given as "--name=VALUE" or "--name VALUE";
// advances `index` past it.
std::string_view option_value(int argc, const char* const* argv, int& index,
                              std::string_view option, std::string_view name) {
  if (option.size() > name.size() && option[name.size()] == '=') {
    ++index;
    return option.substr(name.size() + 1);
  }
  if (index + 1 >= argc || argv[index + 1] == nullptr)
    throw RunError(textio::kNoChannel, "", std::string(name) + " needs a value");
  index += 2;
  return argv[index - 1];
}

PauseAnswer pause_answer(std::string_view text) {
  if (text == "ask") return PauseAnswer::kAsk;
  if (text == "go") return PauseAnswer::kGo;
  if (text == "stop") return PauseAnswer::kStop;
  throw RunError(textio::kNoChannel, "",
                 "--on-pause is '" + std::string(text) + "'; it must be ask, go or stop");
}

// --kernels: whether the reference kernels are asked for.
bool reference_kernels(std::string_view text) {
  if (text == "fast") return false;
  if (text == "reference") return true;
  throw RunError(textio::kNoChannel, "",
                 "--kernels is '" + std::string(text) + "'; it must be fast or reference");
}

// Whether `option` is `name` itself or `name=...`.
bool is_option(std::string_view option, std::string_view name) {
  return option == name ||
         (option.starts_with(name) && option.size() > name.size() && option[name.size()] == '=');
}

// Reads the options into `line`; returns the index of the first positional
// argument, or nothing when --help or --version ends the reading.
std::optional<int> read_options(int argc, const char* const* argv, CommandLine& line) {
  int first = 1;
  while (first < argc && argv[first] != nullptr) {
    const std::string_view option = argv[first];
    if (option == "--") {
      ++first;
      break;
    }
    if (option == "-h" || option == "--help") {
      line.show_help = true;
      return std::nullopt;
    }
    if (option == "--version") {
      line.show_version = true;
      return std::nullopt;
    }
    if (option == "-k" || option == "--keep-going") {
      line.keep_going = true;
      ++first;
    } else if (option == "--no-progress") {
      line.progress = false;
      ++first;
    } else if (is_option(option, "--on-pause")) {
      line.on_pause = pause_answer(option_value(argc, argv, first, option, "--on-pause"));
    } else if (is_option(option, "--report")) {
      const std::string_view path = option_value(argc, argv, first, option, "--report");
      if (path.empty()) throw RunError(textio::kNoChannel, "", "--report needs a file name");
      line.report_path = std::string(path);
    } else if (is_option(option, "--shard")) {
      const std::string_view value = option_value(argc, argv, first, option, "--shard");
      if (value == "slurm") {
        line.shard_from_slurm = true;
      } else {
        line.shard = parse_shard(value);
        if (!line.shard) {
          throw RunError(
              textio::kNoChannel, "",
              "--shard is '" + std::string(value) + "'; it must be K/M with 1 <= K <= M, or slurm");
        }
      }
    } else if (is_option(option, "--kernels")) {
      line.reference_kernels =
          reference_kernels(option_value(argc, argv, first, option, "--kernels"));
    } else if (option == "-j" || option == "--jobs") {
      line.workers = worker_count(argument(argc, argv, first + 1));
      first += 2;
    } else if (option.starts_with("--jobs=")) {
      line.workers = worker_count(option.substr(7));
      ++first;
    } else if (option.starts_with("-j")) {
      line.workers = worker_count(option.substr(2));
      ++first;
    } else if (option.starts_with("-")) {
      // The first positional argument is a directory; one that starts
      // with '-' follows "--".
      throw RunError(textio::kNoChannel, "",
                     "unknown option '" + std::string(option) +
                         "' (put \"--\" before an input directory that starts with '-')");
    } else {
      break;
    }
  }
  return first;
}

// Reads the four positional arguments from argv[first] on into `line`.
void read_positional(int argc, const char* const* argv, int first, CommandLine& line) {
  const auto positional = [&](int position) { return argument(argc, argv, first + position - 1); };
  line.input_dir = fixed_field(positional(1), kPathWidth);
  line.output_dir = fixed_field(positional(2), kPathWidth);
  const std::int32_t mode = textio::read_argument_integer(positional(3), kNumberArgumentWidth,
                                                          "spectral mode (argument 3)");
  const std::int32_t n = textio::read_argument_integer(positional(4), kNumberArgumentWidth,
                                                       "expansion order (argument 4)");
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
}

CommandLine parse(int argc, const char* const* argv) {
  CommandLine line;
  const std::optional<int> first = read_options(argc, argv, line);
  if (first) read_positional(argc, argv, *first, line);
  return line;
}

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
  try {
    return parse(argc, argv);
  } catch (const RunError& error) {
    if (error.channel() != textio::kNoChannel) throw;
    // Still one line: the hint closes the diagnostic.
    throw RunError(textio::kNoChannel, error.file(),
                   error.cause() + " (" + std::string(kUsageHint) + ")");
  }
}

}  // namespace phasefit::driver
