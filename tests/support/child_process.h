// Running the real binary (or any program) from a test: its standard output is captured,
// and a time limit ends a run that hangs.
#pragma once

#include <string>
#include <vector>

namespace qb::test {

struct ProgramResult {
  int exitCode = -1;  // -1 when the program was ended by a signal or the time limit
  std::string output;
  bool timedOut = false;
};

// Runs `program` with `arguments` (element 0 is the program name it sees) and waits at
// most `timeoutSeconds`.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         double timeoutSeconds = 60);

// The quobrina binary of this build, run with the given switches.
ProgramResult RunQuobrina(const std::vector<std::string>& switches, double timeoutSeconds = 60);

// Removes the "[HH:NN:SS]" stamp from every line, so output can be compared exactly.
std::string StripStamps(const std::string& output);

}  // namespace qb::test
