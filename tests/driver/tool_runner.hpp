#pragma once
// Runs the built phasefit as a child process in a working directory and
// reads back what it left: the exit status, standard output and error, and
// the files of a directory tree.

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace phasefit::testing {

namespace fs = std::filesystem;

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void write_file(const fs::path& path, const std::string& text) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// A forward-peaked Henyey-Greenstein table of `rows` rows in degrees.
inline std::string hg_table_text(double g, int rows = 498) {
  std::ostringstream text;
  text << "10 0.55 0\n2.1 0.99 " << g << "\n";
  text.precision(9);
  for (int i = 0; i < rows; ++i) {
    const double theta = 180.0 * i / 497.0;
    const double mu = std::cos(theta * std::numbers::pi / 180.0);
    text << theta << ' ' << (1.0 - g * g) / std::pow(1.0 + g * g - 2.0 * g * mu, 1.5) << '\n';
  }
  return text.str();
}

// Every regular file under `dir`, by its path relative to `dir`.
using Tree = std::map<std::string, std::string>;
inline Tree tree_of(const fs::path& dir) {
  Tree tree;
  if (!fs::is_directory(dir)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.is_regular_file())
      tree[fs::relative(entry.path(), dir).string()] = read_file(entry.path());
  return tree;
}

struct Outcome {
  int status = -1;     // exit status, or -1 when the process did not exit
  int signal = 0;      // the signal that ended it, if one did
  std::string out;
  std::string err;
};

// A phasefit started in `dir` with standard input from /dev/null (an
// operator pause ends the run at once) and standard output and error read
// through pipes, so that a file-size limit set on the child
// (`file_size_limit`, RLIMIT_FSIZE) bounds only the files it writes.
class ToolRun {
 public:
  ToolRun(const fs::path& dir, const std::vector<std::string>& args,
          std::optional<rlim_t> file_size_limit = {}) {
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) return;
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
      ::close(out_pipe[0]);
      ::close(out_pipe[1]);
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      const int in = ::open("/dev/null", O_RDONLY);
      if (in < 0 || ::chdir(dir.c_str()) != 0) ::_exit(120);
      ::dup2(in, 0);
      ::dup2(out_pipe[1], 1);
      ::dup2(err_pipe[1], 2);
      if (file_size_limit) {
        const rlimit limit{*file_size_limit, *file_size_limit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(121);
      }
      std::vector<std::string> copies = args;
      std::string program = PHASEFIT_EXECUTABLE;
      std::vector<char*> argv{program.data()};
      for (auto& a : copies) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(PHASEFIT_EXECUTABLE, argv.data());
      ::_exit(122);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
  }
  ToolRun(const ToolRun&) = delete;
  ToolRun& operator=(const ToolRun&) = delete;
  ~ToolRun() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
  }

  bool started() const { return pid_ > 0; }
  void kill(int signal) const {
    if (pid_ > 0) ::kill(pid_, signal);
  }

  // Reads both streams to their end, then reaps the child.
  Outcome wait() {
    Outcome outcome;
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    std::string* texts[2] = {&outcome.out, &outcome.err};
    int open_streams = 2;
    while (open_streams > 0) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
        if (got > 0) {
          texts[i]->append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
          fds[i].fd = -1;
          --open_streams;
        }
      }
    }
    int wait_status = 0;
    if (pid_ > 0) ::waitpid(pid_, &wait_status, 0);
    pid_ = -1;
    if (WIFEXITED(wait_status)) outcome.status = WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) outcome.signal = WTERMSIG(wait_status);
    return outcome;
  }

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
};

inline Outcome run_tool(const fs::path& dir, const std::vector<std::string>& args,
                        std::optional<rlim_t> file_size_limit = {}) {
  return ToolRun(dir, args, file_size_limit).wait();
}

}  // namespace phasefit::testing
