// The serial port on termios. The descriptor is non-blocking and every wait
// goes through poll(), so that one time-out bounds a whole read or write, as
// callers of this class expect: a read returns what came within the time-out.
#include <zavrin/platform.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "port/thread.h"
#include "platform/serial_line.h"

namespace {

const int kClosed = -1;
const DWORD kDelayBeforeWrite = 100;
const DWORD kDelayBeforeReopen = 500;

struct SpeedCode {
  int bitsPerSecond;
  speed_t code;
};

const SpeedCode kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCodeOf(int bitsPerSecond, speed_t *code) {
  for (const SpeedCode &speed : kSpeeds) {
    if (speed.bitsPerSecond == bitsPerSecond) {
      *code = speed.code;
      return true;
    }
  }
  return false;
}

bool DataBitsFlag(int dataBits, tcflag_t *flag) {
  switch (dataBits) {
    case 5:
      *flag = CS5;
      return true;
    case 6:
      *flag = CS6;
      return true;
    case 7:
      *flag = CS7;
      return true;
    case 8:
      *flag = CS8;
      return true;
    default:
      return false;
  }
}

// Mark and space parity are the sticky forms of odd and even parity.
bool ParityFlags(int parity, tcflag_t *flags) {
  switch (parity) {
    case NOPARITY:
      *flags = 0;
      return true;
    case ODDPARITY:
      *flags = PARENB | PARODD;
      return true;
    case EVENPARITY:
      *flags = PARENB;
      return true;
    case MARKPARITY:
      *flags = PARENB | PARODD | CMSPAR;
      return true;
    case SPACEPARITY:
      *flags = PARENB | CMSPAR;
      return true;
    default:
      return false;
  }
}

// termios has no one and a half stop bits: the line drivers send one and a
// half where two are asked for with 5 data bits, so both codes map to CSTOPB.
bool StopBitsFlag(int stopBits, tcflag_t *flag) {
  switch (stopBits) {
    case ONESTOPBIT:
      *flag = 0;
      return true;
    case ONE5STOPBITS:
    case TWOSTOPBITS:
      *flag = CSTOPB;
      return true;
    default:
      return false;
  }
}

// Milliseconds left until deadline, for poll(); -1 waits without limit.
int RemainingMs(bool limited, DWORD start, DWORD timeoutMs) {
  if (!limited) return -1;
  DWORD elapsed = zavrin::TicksSince(start, zavrin::GetTickCount());
  return static_cast<int>(zavrin::ReduceTimeout(timeoutMs, elapsed));
}

// Waits for events on fd within the time left; false when none came in time
// or the wait failed.
bool WaitFor(int fd, short events, bool limited, DWORD start, DWORD timeoutMs, short *revents) {
  for (;;) {
    struct pollfd pfd = {fd, events, 0};
    int ready = poll(&pfd, 1, RemainingMs(limited, start, timeoutMs));
    if (ready > 0) {
      *revents = pfd.revents;
      return true;
    }
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace

namespace zavrin {

bool MakeLineSettings(struct termios *settings, int speed, int dataBits, int parity, int stopBits) {
  speed_t speedCode;
  tcflag_t sizeFlag, parityFlags, stopFlag;
  if (!SpeedCodeOf(speed, &speedCode) || !DataBitsFlag(dataBits, &sizeFlag) ||
      !ParityFlags(parity, &parityFlags) || !StopBitsFlag(stopBits, &stopFlag)) {
    return false;
  }
  // Binary mode: bytes pass unchanged both ways, nothing is echoed or turned
  // into signals, and a read returns as soon as any byte is there (the
  // time-out is ours, through poll).
  settings->c_iflag &= ~(IGNBRK | BRKINT | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IMAXBEL);
  settings->c_iflag &= ~(INPCK | IXON | IXOFF);
  settings->c_oflag &= ~OPOST;
  settings->c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  settings->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  settings->c_cflag |= CLOCAL | CREAD | sizeFlag | parityFlags | stopFlag;
  settings->c_cc[VMIN] = 1;
  settings->c_cc[VTIME] = 0;
  cfsetispeed(settings, speedCode);
  cfsetospeed(settings, speedCode);
  return true;
}

}  // namespace zavrin

Serial::Serial()
    : portName(nullptr),
      timeout(0),
      speed(0),
      dataBits(0),
      stopBits(0),
      parity(0),
      flowControl(0),
      handle(kClosed) {}

Serial::~Serial() {
  Close();
  free(portName);
}

bool Serial::Open(const char *device) {
  Close();
  if (device == nullptr) return false;
  char *copy = strdup(device);
  if (copy == nullptr) return false;
  free(portName);
  portName = copy;

  int fd = open(portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // Exclusive use: a second opener of the same device fails instead of
  // stealing half of the incoming bytes.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  handle = fd;
  Set(38400, 8, NOPARITY, ONESTOPBIT, 0);
  return true;
}

bool Serial::Set(int newSpeed, int newDataBits, int newParity, int newStopBits) {
  return Set(newSpeed, newDataBits, newParity, newStopBits, 0);
}

bool Serial::Set(int newSpeed, int newDataBits, int newParity, int newStopBits,
                 int newFlowControl) {
  speed = newSpeed;
  dataBits = newDataBits;
  parity = newParity;
  stopBits = newStopBits;
  flowControl = newFlowControl;

  struct termios settings;
  if (handle == kClosed || tcgetattr(handle, &settings) != 0) return false;
  if (!zavrin::MakeLineSettings(&settings, speed, dataBits, parity, stopBits)) return false;
  if (tcsetattr(handle, TCSANOW, &settings) != 0) return false;
  // DTR and RTS on, without handshaking. Devices without modem lines (a
  // pseudo-terminal) refuse this, which changes nothing for them.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(handle, TIOCMBIS, &lines);
  return true;
}

// Read and Write take the time-out at each call, so storing it applies it.
void Serial::SetTimeout(int timeoutMs) {
  timeout = timeoutMs;
}

bool Serial::Restart() {
  Close();
  zavrin::ThreadSleep(kDelayBeforeReopen);
  if (portName == nullptr) return false;
  // Open replaces the stored name and settings, so take copies first.
  char *device = strdup(portName);
  if (device == nullptr) return false;
  int lastSpeed = speed, lastDataBits = dataBits, lastParity = parity, lastStopBits = stopBits,
      lastFlowControl = flowControl;
  bool opened = Open(device);
  free(device);
  return opened && Set(lastSpeed, lastDataBits, lastParity, lastStopBits, lastFlowControl);
}

int Serial::Read(char *buffer, int size) {
  if (buffer == nullptr || size < 0) return -1;
  memset(buffer, 0, static_cast<size_t>(size));
  if (handle == kClosed) return -1;
  bool limited = timeout > 0;
  DWORD start = zavrin::GetTickCount();
  int got = 0;
  while (got < size) {
    short revents = 0;
    if (!WaitFor(handle, POLLIN, limited, start, static_cast<DWORD>(timeout), &revents)) break;
    ssize_t n = read(handle, buffer + got, static_cast<size_t>(size - got));
    if (n > 0) {
      got += static_cast<int>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      continue;
    } else {
      // The line hung up or failed: what came before still counts.
      return got > 0 ? got : -1;
    }
  }
  return got;
}

int Serial::ReadAll(char *buffer, int size) {
  return Read(buffer, size);
}

bool Serial::Write(const char *data, int size) {
  if (handle == kClosed) return false;
  if (data == nullptr || size < 0) return false;
  zavrin::ThreadSleep(kDelayBeforeWrite);
  bool limited = timeout > 0;
  DWORD start = zavrin::GetTickCount();
  int sent = 0;
  while (sent < size) {
    ssize_t n = write(handle, data + sent, static_cast<size_t>(size - sent));
    if (n > 0) {
      sent += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      Restart();
      return false;
    }
    short revents = 0;
    if (!WaitFor(handle, POLLOUT, limited, start, static_cast<DWORD>(timeout), &revents)) break;
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
      Restart();
      return false;
    }
  }
  return sent == size;
}

void Serial::Flush() {
  if (handle != kClosed) tcdrain(handle);
}

void Serial::Close() {
  if (handle == kClosed) return;
  close(handle);
  handle = kClosed;
}
