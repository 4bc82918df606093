// velk_exchanges MODE PORT COUNT: opens PORT at 115200 baud and reads
// channel 3 of the Velk4017 at address 1 COUNT times, through a driver
// object (MODE "driver") or with the bare write, poll and read ("bare").
// Nothing else happens per exchange, so that a count of system calls taken
// at two COUNTs gives the calls of one exchange.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bench/bench_support.h"

int main(int argc, char** argv) {
  if (argc != 4 || (strcmp(argv[1], "driver") != 0 && strcmp(argv[1], "bare") != 0)) {
    fprintf(stderr, "usage: velk_exchanges driver|bare PORT COUNT\n");
    return 2;
  }
  const bool useDriver = strcmp(argv[1], "driver") == 0;
  const long count = strtol(argv[3], nullptr, 10);
  bench::DriverLine driver;
  bench::BarePort bare;
  if (useDriver ? !driver.Open(argv[2], 115200) : !bare.Open(argv[2], 115200)) {
    fprintf(stderr, "velk_exchanges: cannot open %s\n", argv[2]);
    return 1;
  }
  long failed = 0;
  for (long i = 0; i < count; ++i) {
    const bool ok = useDriver ? driver.Read() : bare.Exchange(bench::DriverLine::Command()) > 0;
    if (!ok) ++failed;
  }
  printf("%ld exchanges, %ld failed\n", count, failed);
  return failed == 0 ? 0 : 1;
}
