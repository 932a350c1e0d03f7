// How Serial turns its line settings into termios flags.
#ifndef ZAVRIN_SERIAL_LINE_H
#define ZAVRIN_SERIAL_LINE_H

#include <termios.h>

namespace zavrin {

// Changes settings to binary mode without flow control at the given speed,
// data bits, parity code and stop-bit code, and leaves every other flag as it
// was. False, with settings unchanged, for a value the line cannot do.
bool MakeLineSettings(struct termios *settings, int speed, int dataBits, int parity, int stopBits);

}  // namespace zavrin

#endif  // ZAVRIN_SERIAL_LINE_H
