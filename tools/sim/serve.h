// The two ways qm4720sim runs: serving its instruments on a line, or passing a real instrument's
// bytes through between a new pseudo-terminal and the device (--forward). Both run until `stop` is
// raised or the line fails, then print their counts on stderr.
#pragma once

#include <string>

#include "host/oskit/serial_line.h"
#include "tools/sim/command_line.h"
#include "tools/sim/simulation.h"

namespace sim {

// PORT=<port> and READY on stdout: what the programs that start the simulator wait for.
void Announce(const std::string& port);

// Serves the instruments of `simulation` on `line`. The exit status: 0 after a stop, 1 when the
// line failed. With `terminal` (the pseudo-terminal that `line` is the program's side of), the
// line settings that the other program gave it are reported: at each change with --verbose, and
// with the counts at the end.
int Serve(host::SerialLine& line, const Options& options, Simulation& simulation,
          const host::StopSignal& stop, const host::PseudoTerminal* terminal = nullptr);

// Opens a new pseudo-terminal and the device of --forward and passes bytes both ways, tracing
// them. The exit status: 0 after a stop, 1 when either end could not be opened or the device
// failed.
int RunForward(const Options& options, const host::LineSettings& settings,
               const host::StopSignal& stop);

}  // namespace sim
