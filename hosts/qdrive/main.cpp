#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "qdrive/qdrive.h"

int main(int argc, char** argv) {
  int status = QuorvelleDrive::Qdrive::run(argc, argv, std::cout, std::cerr);
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  // Extension works may still be blocked on the socket (after a time-out) or winding down on
  // queue threads; ending here keeps static destructors from running underneath them.
  std::_Exit(status);
}
