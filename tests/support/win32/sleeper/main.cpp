// The stand-in for a parent program in the watchdog tests: it waits until a test ends it,
// and ends by itself after ten minutes should a test fail to.
#include <windows.h>

int main() {
  ::Sleep(10 * 60 * 1000);
  return 0;
}
