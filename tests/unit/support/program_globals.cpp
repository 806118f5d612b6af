// The globals that the daemon's entry defines, for test programs that link the
// modules without it. Weak, so a test that needs its own definition wins.
#include <csignal>

extern "C" {
__attribute__((weak)) char ipconf_interface[16] = "";
__attribute__((weak)) volatile sig_atomic_t run = 1;
}
