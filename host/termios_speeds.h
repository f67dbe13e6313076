#pragma once
// The line speeds a POSIX terminal knows by code, shared by the serial driver, the simulated
// devices and the test rigs so that they all agree on one list.
#include <termios.h>

#include <cstdint>

namespace quendal {

// The code of `baud`; false when the system has none for it.
bool TermiosCodeOf(std::uint32_t baud, speed_t* code);
// The rate a code stands for; 0 for B0 or one not known.
std::uint32_t BaudOfTermiosCode(speed_t code);

}  // namespace quendal
