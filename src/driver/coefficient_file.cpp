#include "driver/coefficient_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "textio/edit.hpp"
#include "textio/run_error.hpp"

namespace phasefit::driver {
namespace {

// Record 9 takes its phrase from a 150-character text item through A34,
// which shows exactly the phrase.
constexpr std::string_view kTruncationPhrase = "truncation factor (ft) and f-delta";

std::string system_reason(const char* action) {
  return std::string(action) + " failed: " + std::strerror(errno);
}

}  // namespace

std::string format_coefficient_file(int n, const expansion::JobResult& result) {
  using textio::edit_e;
  using textio::edit_f;
  std::string text;
  text.reserve(static_cast<std::size_t>(n + 1) * 17 + 256);
  text += "\n\n\n\n";
  text += textio::list_record_text("Ce, omega0, g-factor, f-delta");
  text += '\n';
  text += edit_e(result.ce, 15, 5);
  text += "  ";
  text += edit_e(result.omega0, 15, 5);
  text += "  ";
  text += edit_e(result.g, 15, 5);
  text += "  ";
  text += edit_e(result.f_delta, 15, 5);
  text += '\n';
  text += '\n';
  text += textio::list_record_text("truncation = y  1-Jul-2002");
  text += '\n';
  text += edit_f(static_cast<double>(result.ft), 9, 6);
  text += ' ';
  text += edit_f(static_cast<double>(result.f_delta), 9, 6);
  text += ' ';
  std::string phrase_item(kTruncationPhrase);
  phrase_item.resize(150, ' ');
  text += textio::edit_a(phrase_item, 34);
  text += '\n';
  text += textio::list_record_int_text(n, "coefficients");
  text += '\n';
  for (int l = 0; l <= n; ++l) {
    text += textio::edit_i(l + 1, 4);
    text += edit_f(static_cast<double>(result.coefficients[static_cast<std::size_t>(l)]), 12, 7);
    text += '\n';
  }
  return text;
}

FileIdentity identity_of_path(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  return {info.st_dev, info.st_ino, true};
}

UnknownFile::UnknownFile(std::string path, int channel)
    : path_(std::move(path)), channel_(channel) {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) throw textio::RunError(channel_, path_, system_reason("open"));
  struct stat info {};
  if (::fstat(fd_, &info) != 0) {
    const std::string reason = system_reason("stat");
    ::close(fd_);
    throw textio::RunError(channel_, path_, reason);
  }
  identity_ = {info.st_dev, info.st_ino, true};
}

UnknownFile::~UnknownFile() {
  if (fd_ >= 0) ::close(fd_);
}

void UnknownFile::replace_content(std::string_view content) {
  if (::ftruncate(fd_, 0) != 0) throw textio::RunError(channel_, path_, system_reason("truncate"));
  if (::lseek(fd_, 0, SEEK_SET) < 0) throw textio::RunError(channel_, path_, system_reason("seek"));
  while (!content.empty()) {
    const ssize_t written = ::write(fd_, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw textio::RunError(channel_, path_, system_reason("write"));
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
}

void UnknownFile::close() {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throw textio::RunError(channel_, path_, system_reason("close"));
}

}  // namespace phasefit::driver
