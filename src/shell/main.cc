// corvanta-batch: the batch service. Takes no arguments; reads commands from
// standard input in the working directory beside the installation's etc and
// temp directories. Always exits with status 0.
#include <cstdio>

#include "shell/service.h"

int main() {
  corvanta::Service service(stdin, stdout);
  service.run();
  return 0;
}
