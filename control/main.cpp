#include <cstdio>

#include "control/driver.h"

// Arguments are ignored: everything comes from the working folder and the console.
int main() {
  return run_vesk(".", stdin, stdout, stderr);
}
