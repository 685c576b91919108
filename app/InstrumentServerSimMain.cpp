// instrument-server-sim: the Instrument Server on a simulated bench of
// instruments that can be plugged and unplugged while it runs.

#include "app/ServerProgram.h"

int main(int argc, char** argv) {
  return app::RunServerProgram(argc, argv, app::TServerProgramKind::SimulatedBench);
}
