#pragma once
// Runs the built phasefit as a child process in a working directory and
// reads back what it left: the exit status and standard output and error
// (the files it wrote: tree_of in test_files.hpp).

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "driver/test_files.hpp"

namespace phasefit::testing {

struct Outcome {
  int status = -1;  // exit status, or -1 when the process did not exit
  std::string out;
  std::string err;
  int signal = 0;  // the signal that ended it, if one did
  bool operator==(const Outcome&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  os << "status " << o.status << ", stdout '" << o.out << "', stderr '" << o.err << "'";
  if (o.signal != 0) os << ", signal " << o.signal;
  return os;
}

// How the child's standard streams are set up.
struct Launch {
  // RLIMIT_FSIZE for the child; standard output and error are pipes (or a
  // terminal), so the limit bounds only the files it writes.
  std::optional<rlim_t> file_size_limit;
  // Without it, standard input is /dev/null (an operator pause ends the run
  // at once). With it, standard input is a pipe that gets this text first
  // and stays open for `send` until `wait`.
  std::optional<std::string> input;
  // Standard error on a pseudo-terminal instead of a pipe.
  bool terminal = false;
};

inline Launch with_file_size_limit(std::optional<rlim_t> limit) {
  Launch launch;
  launch.file_size_limit = limit;
  return launch;
}

inline Launch with_input(const std::string& text, bool terminal = false) {
  Launch launch;
  launch.input = text;
  launch.terminal = terminal;
  return launch;
}

// A phasefit started in `dir` with `args`.
class ToolRun {
 public:
  ToolRun(const fs::path& dir, const std::vector<std::string>& args, const Launch& launch = {}) {
    int in_pipe[2] = {-1, -1};
    int out_pipe[2] = {-1, -1};
    int err_fds[2] = {-1, -1};  // [0] the read side, [1] the child's standard error
    const bool opened =
        (!launch.input || ::pipe2(in_pipe, O_CLOEXEC) == 0) && ::pipe2(out_pipe, O_CLOEXEC) == 0 &&
        (launch.terminal ? ::openpty(&err_fds[0], &err_fds[1], nullptr, nullptr, nullptr) == 0
                         : ::pipe2(err_fds, O_CLOEXEC) == 0);
    if (!opened) {
      close_all({in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_fds[0], err_fds[1]});
      return;
    }
    if (launch.terminal) {
      ::fcntl(err_fds[0], F_SETFD, FD_CLOEXEC);
      ::fcntl(err_fds[1], F_SETFD, FD_CLOEXEC);
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      const int in = launch.input ? in_pipe[0] : ::open("/dev/null", O_RDONLY);
      if (in < 0 || ::chdir(dir.c_str()) != 0) ::_exit(120);
      ::dup2(in, 0);
      ::dup2(out_pipe[1], 1);
      ::dup2(err_fds[1], 2);
      if (launch.file_size_limit) {
        const rlimit limit{*launch.file_size_limit, *launch.file_size_limit};
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
    close_all({in_pipe[0], out_pipe[1], err_fds[1]});
    in_fd_ = in_pipe[1];
    out_fd_ = out_pipe[0];
    err_fd_ = err_fds[0];
    if (launch.input) {
      EXPECT_TRUE(send(*launch.input)) << "standard input not written";
    }
  }
  ToolRun(const ToolRun&) = delete;
  ToolRun& operator=(const ToolRun&) = delete;
  ~ToolRun() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    close_all({in_fd_, out_fd_, err_fd_});
  }

  bool started() const { return pid_ > 0; }
  void kill(int signal) const {
    if (pid_ > 0) ::kill(pid_, signal);
  }

  // Writes `text` to the child's standard input (a pipe: see Launch);
  // false unless all of it was written.
  bool send(const std::string& text) {
    return ::write(in_fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // Reads standard output and error until standard error holds `text`, the
  // streams end or `limit` passes; returns standard error so far.
  const std::string& read_err_until(const std::string& text,
                                    std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (outcome_.err.find(text) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline && read_some(1000)) {
    }
    return outcome_.err;
  }

  // Closes standard input, reads both streams to their end, then reaps the
  // child.
  Outcome wait() {
    close_all({in_fd_});
    in_fd_ = -1;
    while (read_some(-1)) {
    }
    int wait_status = 0;
    if (pid_ > 0) ::waitpid(pid_, &wait_status, 0);
    pid_ = -1;
    if (WIFEXITED(wait_status)) outcome_.status = WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) outcome_.signal = WTERMSIG(wait_status);
    return outcome_;
  }

 private:
  static void close_all(std::initializer_list<int> fds) {
    for (const int fd : fds)
      if (fd >= 0) ::close(fd);
  }

  // One poll of the open streams (at most `timeout_ms`); false once both
  // have ended. A pseudo-terminal reports an error instead of the end.
  bool read_some(int timeout_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    int* owned[2] = {&out_fd_, &err_fd_};
    std::string* texts[2] = {&outcome_.out, &outcome_.err};
    if (out_fd_ < 0 && err_fd_ < 0) return false;
    if (::poll(fds, 2, timeout_ms) < 0) return errno == EINTR;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        texts[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        ::close(*owned[i]);
        *owned[i] = -1;
      }
    }
    return out_fd_ >= 0 || err_fd_ >= 0;
  }

  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  Outcome outcome_;
};

inline Outcome run_tool(const fs::path& dir, const std::vector<std::string>& args,
                        const Launch& launch = {}) {
  return ToolRun(dir, args, launch).wait();
}

// A working directory of three jobs at N = 300 whose second pauses once in
// svdcmp; the third job's coefficient file exists beforehand.
inline void pause_batch(const fs::path& dir) {
  write_file(dir / "INPUT/input_re.dat", "3\n5\n10\n20\n");
  write_file(dir / "INPUT/wl.dat", "1\n0.87\n");
  write_file(dir / "pf/WVN_0p87_DE_005.dat", hg_table_text(0.7));
  write_file(dir / "pf/WVN_0p87_DE_010.dat", hg_table_text(0.85));
  write_file(dir / "pf/WVN_0p87_DE_020.dat", hg_table_text(0.6));
  write_file(dir / "coef/WVN_0p87_DE_020.dat", "sentinel\n");
}

// A test that runs the built phasefit in subdirectories of its own
// temporary directory. A child that stops early must not kill the test
// through its standard input, so SIGPIPE is ignored.
class ToolTest : public TempDirTest<> {
 protected:
  explicit ToolTest(std::string tag) : TempDirTest(std::move(tag)) {}
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    TempDirTest::SetUp();
  }

  fs::path work(const std::string& name) const { return root_ / name; }

  // Runs phasefit in `dir` with standard input from `input` and standard
  // error on a pipe or, with `terminal`, on a pseudo-terminal.
  Outcome run(const fs::path& dir, const std::vector<std::string>& args,
              const std::string& input = "", bool terminal = false) const {
    return run_tool(dir, args, with_input(input, terminal));
  }
};

}  // namespace phasefit::testing
