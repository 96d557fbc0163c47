// Linked into the module only with the C++ runtime built in
// (TARNWICK_STATIC_CXX_RUNTIME). The runtime's std::random_device refers to
// glibc's arc4random, which exists from glibc 2.36 on; that one reference
// would make the module unloadable on every older system although nothing
// here draws random numbers. The linker's --wrap=arc4random sends it to this
// function instead, built on getentropy (glibc 2.25), so the module asks no
// more of glibc than its threads do (2.34).
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

extern "C" std::uint32_t __wrap_arc4random() {
  std::uint32_t value = 0;
  if (getentropy(&value, sizeof value) != 0) {
    std::abort();  // as glibc's own arc4random does when no entropy is available
  }
  return value;
}
