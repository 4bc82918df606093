#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "child_process.h"

namespace tooltest {
namespace {

typedef std::chrono::steady_clock Clock;

int MsLeft(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Starts `args` with its outputs on two pipes; -1 on failure.
pid_t Spawn(const std::vector<std::string>& args, const Environment& environment, int* outFd, int* errFd) {
  int out[2], err[2];
  if (pipe(out) != 0) return -1;
  if (pipe(err) != 0) {
    close(out[0]);
    close(out[1]);
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(out[0]);
    close(out[1]);
    close(err[0]);
    close(err[1]);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    for (const std::string& entry : environment) putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    return -1;
  }
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  fcntl(err[0], F_SETFL, O_NONBLOCK);
  *outFd = out[0];
  *errFd = err[0];
  return pid;
}

// Reads what is waiting on both pipes, waiting up to `waitMs` for something.
// Returns false once both pipes are closed.
bool Pump(int* outFd, int* errFd, std::string* out, std::string* err, int waitMs) {
  pollfd fds[2];
  int n = 0;
  if (*outFd >= 0) fds[n++] = {*outFd, POLLIN, 0};
  if (*errFd >= 0) fds[n++] = {*errFd, POLLIN, 0};
  if (n == 0) return false;
  if (poll(fds, static_cast<nfds_t>(n), waitMs) <= 0) return true;
  for (int i = 0; i < n; ++i) {
    if (fds[i].revents == 0) continue;
    int* fd = fds[i].fd == *outFd ? outFd : errFd;
    std::string* sink = fd == outFd ? out : err;
    char buffer[4096];
    const ssize_t got = read(*fd, buffer, sizeof buffer);
    if (got > 0) {
      sink->append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      close(*fd);
      *fd = -1;
    }
  }
  return *outFd >= 0 || *errFd >= 0;
}

// Waits for the child's end until `end`; its exit code, or -1.
int Reap(pid_t pid, Clock::time_point end) {
  int status = 0;
  while (true) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 || MsLeft(end) == 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& args, int timeoutMs, const Environment& environment) {
  ProgramResult result;
  int outFd = -1, errFd = -1;
  const pid_t pid = Spawn(args, environment, &outFd, &errFd);
  if (pid < 0) {
    result.err = "cannot start " + args[0];
    return result;
  }
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (MsLeft(end) > 0 && Pump(&outFd, &errFd, &result.out, &result.err, std::min(MsLeft(end), 100))) {}
  result.exitCode = Reap(pid, end);
  if (result.exitCode == -1) {
    result.timedOut = true;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  if (outFd >= 0) close(outFd);
  if (errFd >= 0) close(errFd);
  return result;
}

bool BackgroundProgram::Start(const std::vector<std::string>& args) {
  pid_ = Spawn(args, {}, &outFd_, &errFd_);
  return pid_ > 0;
}

void BackgroundProgram::Drain(int waitMs) { Pump(&outFd_, &errFd_, &result_.out, &result_.err, waitMs); }

bool BackgroundProgram::WaitForOutput(const std::string& text, int waitMs) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(waitMs);
  while (result_.out.find(text) == std::string::npos) {
    if (MsLeft(end) == 0 || (outFd_ < 0 && errFd_ < 0)) return false;
    Drain(std::min(MsLeft(end), 50));
  }
  return true;
}

bool BackgroundProgram::WaitForErrorOutput(const std::string& text, int waitMs) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(waitMs);
  while (result_.err.find(text) == std::string::npos) {
    if (MsLeft(end) == 0 || (outFd_ < 0 && errFd_ < 0)) return false;
    Drain(std::min(MsLeft(end), 50));
  }
  return true;
}

ProgramResult BackgroundProgram::Stop(int graceMs, int signal) {
  if (pid_ <= 0) return result_;
  kill(pid_, signal);
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(graceMs);
  while (MsLeft(end) > 0 && Pump(&outFd_, &errFd_, &result_.out, &result_.err, std::min(MsLeft(end), 50))) {}
  result_.exitCode = Reap(pid_, end);
  if (result_.exitCode == -1) {
    result_.timedOut = true;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
  outFd_ = errFd_ = -1;
  pid_ = -1;
  return result_;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velk-tools-XXXXXX").string();
  if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string TempDir::Write(const std::string& name, const std::string& text) const {
  const std::string file = path_ + "/" + name;
  std::ofstream(file) << text;
  return file;
}

}  // namespace tooltest
