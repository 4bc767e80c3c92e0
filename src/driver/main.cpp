// The program entry.
#include <exception>
#include <string>

#include "driver/program.h"
#include "platform/console.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  qb::platform::InitializeProcess(argc, argv);
  try {
    return qb::RunProgram();
  } catch (const std::exception& error) {
    // Not one of the program's errors: the last-resort report goes to standard error.
    qb::platform::WriteStandardError(std::string("Runtime error: ") + error.what() + "\n");
    return 1;
  } catch (...) {
    qb::platform::WriteStandardError("Runtime error: unknown exception\n");
    return 1;
  }
}
