#!/usr/bin/env bash
# The main job: builds the driver and the tools (velkhost, velksim, velkd),
# then polls a line of several
# module types with the test host against the built-in simulated bus.
# Arguments replace the default "--cycles 5" and go to the test host (for
# example "--json --cycles 2", or "--interval-ms 500" to poll until Ctrl-C).
set -euo pipefail
cd "$(dirname "$0")/.."

# Everything but the poll's own output goes to standard error, so that
# `scripts/demo.sh --json` prints pure JSON.
bash scripts/install-deps.sh >&2
cmake --preset linux64 >&2
cmake --build --preset linux64 -j "$(nproc)" --target Velk4000 StringResource velkhost velksim velkd >&2
if [ $# -eq 0 ]; then set -- --cycles 5; fi
exec build/linux64/tools/velkhost/velkhost poll examples/line.toml --simulate "$@"
