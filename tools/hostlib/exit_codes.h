// The exit status every tool of the product returns, so that a script reads
// velkhost, velksim and velkd alike.
#ifndef VELK_HOSTLIB_EXIT_CODES_H
#define VELK_HOSTLIB_EXIT_CODES_H

namespace hostlib {

enum ExitCode {
  kExitOk = 0,
  kExitFailure = 1,       // a packet (a module, the line) failed
  kExitConfig = 2,        // a file, the library or the command line is wrong
  kExitPort = 3,          // the serial port (or the served line) could not be opened
  kExitInterrupted = 130  // stopped by Ctrl-C (or SIGTERM)
};

// The lines every --help ends with.
#define VELK_EXIT_STATUS_HELP                                                                 \
  "Exit status: 0 success, 1 a packet failed, 2 a file, the library or the command line is\n" \
  "wrong, 3 the serial port could not be opened, 130 stopped by Ctrl-C or SIGTERM."

}  // namespace hostlib

#endif
