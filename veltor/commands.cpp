#include "veltor/command.h"

namespace veltor::cli {

extern const Command CompileCommand;
extern const Command DumpCommand;
extern const Command InfoCommand;
extern const Command PackCommand;
extern const Command ScanCommand;
extern const Command UnpackCommand;

std::span<const Command* const> AllCommands() {
  static const Command* const Commands[] = {
      &CompileCommand, &DumpCommand, &InfoCommand, &PackCommand, &ScanCommand, &UnpackCommand,
  };
  return Commands;
}

}  // namespace veltor::cli
