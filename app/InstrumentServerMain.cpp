// instrument-server: the Instrument Server on the instruments attached to
// this computer.

#include "app/ServerProgram.h"

int main(int argc, char** argv) {
  return app::RunServerProgram(argc, argv, app::TServerProgramKind::Production);
}
