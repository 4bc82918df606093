// Runs the built programs as a person does: as separate processes, with
// their standard output and error captured, and every wait bounded.
#ifndef VELK_TESTS_TOOLS_CHILD_PROCESS_H
#define VELK_TESTS_TOOLS_CHILD_PROCESS_H

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace tooltest {

struct ProgramResult {
  int exitCode = -1;  // -1 when it did not end by itself in time
  bool timedOut = false;
  std::string out;
  std::string err;
};

// Extra environment variables for the child, as NAME=value.
typedef std::vector<std::string> Environment;

// Runs `args` (args[0] is the program's path) to its end, at most
// `timeoutMs`; a program still running then is killed.
ProgramResult RunProgram(const std::vector<std::string>& args, int timeoutMs = 60000,
                         const Environment& environment = {});

// A program left running in the background (a simulator), stopped with
// SIGINT and then, if need be, killed.
class BackgroundProgram {
 public:
  BackgroundProgram() = default;
  ~BackgroundProgram() { Stop(); }
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  bool Start(const std::vector<std::string>& args);
  // Reads what the program wrote so far into out()/err(), waiting up to
  // `waitMs` until `text` shows in its output. True when it did.
  bool WaitForOutput(const std::string& text, int waitMs);
  // The same for its error output.
  bool WaitForErrorOutput(const std::string& text, int waitMs);
  // `signal` (SIGINT unless told), then the rest of its output; kills it
  // after `graceMs`.
  ProgramResult Stop(int graceMs = 5000, int signal = SIGINT);
  // Sends `signal` and leaves the program running.
  void Signal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
  }

  const std::string& out() const { return result_.out; }
  const std::string& err() const { return result_.err; }

 private:
  void Drain(int waitMs);

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  ProgramResult result_;
};

// A fresh directory under the system's temporary directory, removed with
// the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // Writes `text` into the file `name` inside the directory; returns its path.
  std::string Write(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

}  // namespace tooltest

#endif
