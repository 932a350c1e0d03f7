#include <zavrin/platform.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "port/thread.h"
#include "platform/serial_line.h"
#include "test_support.h"

namespace {

// A pseudo-terminal pair: Serial drives the terminal side by its name, the
// test reads its settings and talks to it through the controlling side.
class PtyPair {
 public:
  PtyPair() {
    char name[128];
    if (openpty(&controller_, &terminal_, name, nullptr, nullptr) == 0) name_ = name;
  }
  ~PtyPair() {
    if (controller_ >= 0) close(controller_);
    if (terminal_ >= 0) close(terminal_);
  }
  PtyPair(const PtyPair &) = delete;
  PtyPair &operator=(const PtyPair &) = delete;

  const char *name() const { return name_.c_str(); }
  int controller() const { return controller_; }
  struct termios Settings() const {
    struct termios settings = {};
    EXPECT_EQ(0, tcgetattr(terminal_, &settings));
    return settings;
  }
  void Apply(const struct termios &settings) const {
    EXPECT_EQ(0, tcsetattr(terminal_, TCSANOW, &settings));
  }

 private:
  int controller_ = -1;
  int terminal_ = -1;
  std::string name_;
};

struct LineSettings {
  speed_t speed;
  tcflag_t size;
  tcflag_t parity;  // PARENB, PARODD and CMSPAR as set
  bool twoStopBits;
};

// The pseudo-terminal driver keeps every flag but two: it forces 8 data
// bits and no parity enable. Those two are checked on MakeLineSettings alone.
void ExpectSettings(const LineSettings &expected, const struct termios &settings,
                    bool onPty = true) {
  EXPECT_EQ(expected.speed, cfgetospeed(&settings));
  EXPECT_EQ(expected.speed, cfgetispeed(&settings));
  if (!onPty) {
    EXPECT_EQ(expected.size, settings.c_cflag & CSIZE);
    EXPECT_EQ(expected.parity, settings.c_cflag & (PARENB | PARODD | CMSPAR));
  }
  // qemu-user's termios translation knows no CMSPAR and drops it on the way.
  tcflag_t kept = zavrin_test::UnderQemu() ? PARODD : (PARODD | CMSPAR);
  EXPECT_EQ(expected.parity & kept, settings.c_cflag & kept);
  EXPECT_EQ(expected.twoStopBits, (settings.c_cflag & CSTOPB) != 0);
  // No flow control of either kind, whatever was asked for, and binary mode.
  EXPECT_EQ(0u, settings.c_cflag & CRTSCTS);
  EXPECT_EQ(0u, settings.c_iflag & (IXON | IXOFF | INPCK | ICRNL));
  EXPECT_EQ(0u, settings.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_EQ(0u, settings.c_oflag & OPOST);
}

struct SetCase {
  int speed, dataBits, parity, stopBits, flowControl;
  LineSettings expected;
};

const SetCase kSetCases[] = {
    {9600, 7, EVENPARITY, TWOSTOPBITS, 0, {B9600, CS7, PARENB, true}},
    {115200, 8, ODDPARITY, ONESTOPBIT, 0, {B115200, CS8, PARENB | PARODD, false}},
    {1200, 5, MARKPARITY, ONE5STOPBITS, 0, {B1200, CS5, PARENB | PARODD | CMSPAR, true}},
    {19200, 6, SPACEPARITY, ONESTOPBIT, 0, {B19200, CS6, PARENB | CMSPAR, false}},
    {57600, 8, NOPARITY, ONESTOPBIT, 3, {B57600, CS8, 0, false}},
};

}  // namespace

TEST(Serial, OpenAppliesTheDefaultSettings) {
  PtyPair pty;
  Serial port;
  ASSERT_TRUE(port.Open(pty.name()));
  ExpectSettings({B38400, CS8, 0, false}, pty.Settings());
}

TEST(Serial, LineSettingsCarrySpeedFramingParityAndStopBits) {
  for (const SetCase &c : kSetCases) {
    SCOPED_TRACE(c.speed);
    struct termios settings = {};
    settings.c_iflag = IXON | IXOFF | ICRNL | INPCK;
    settings.c_oflag = OPOST;
    settings.c_lflag = ICANON | ECHO | ISIG;
    settings.c_cflag = CRTSCTS | CS8 | PARENB | PARODD | CSTOPB | HUPCL;
    ASSERT_TRUE(zavrin::MakeLineSettings(&settings, c.speed, c.dataBits, c.parity, c.stopBits));
    ExpectSettings(c.expected, settings, false);
    EXPECT_EQ(static_cast<tcflag_t>(HUPCL | CLOCAL | CREAD),
              settings.c_cflag & (HUPCL | CLOCAL | CREAD));
  }
}

TEST(Serial, SetAppliesSpeedFramingParityAndStopBits) {
  PtyPair pty;
  Serial port;
  ASSERT_TRUE(port.Open(pty.name()));
  for (const SetCase &c : kSetCases) {
    SCOPED_TRACE(c.speed);
    EXPECT_TRUE(port.Set(c.speed, c.dataBits, c.parity, c.stopBits, c.flowControl));
    ExpectSettings(c.expected, pty.Settings());
  }
  EXPECT_TRUE(port.Set(9600, 7, EVENPARITY, TWOSTOPBITS));
  ExpectSettings({B9600, CS7, PARENB, true}, pty.Settings());
}

TEST(Serial, SetRefusesWhatTheLineCannotDoAndKeepsTheSettings) {
  struct Case {
    int speed, dataBits, parity, stopBits;
  };
  const Case cases[] = {{12345, 8, 0, 0}, {9600, 9, 0, 0}, {9600, 4, 0, 0},
                        {9600, 8, 5, 0},  {9600, 8, 0, 3}, {9600, 8, -1, 0}};
  PtyPair pty;
  Serial port;
  ASSERT_TRUE(port.Open(pty.name()));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.speed * 100 + c.dataBits * 10 + c.parity);
    EXPECT_FALSE(port.Set(c.speed, c.dataBits, c.parity, c.stopBits));
    ExpectSettings({B38400, CS8, 0, false}, pty.Settings());
  }
}

TEST(Serial, ReadTimesOutWithTheBufferZeroed) {
  PtyPair pty;
  Serial port;
  ASSERT_TRUE(port.Open(pty.name()));
  port.SetTimeout(1000);
  char buffer[16];
  memset(buffer, 'x', sizeof(buffer));
  DWORD start = zavrin::GetTickCount();
  EXPECT_EQ(0, port.Read(buffer, sizeof(buffer)));
  EXPECT_GE(zavrin::TicksSince(start, zavrin::GetTickCount()), 900u);
  EXPECT_EQ(std::string(sizeof(buffer), '\0'), std::string(buffer, sizeof(buffer)));
}

TEST(Serial, BytesCrossTheLineBothWays) {
  PtyPair pty;
  Serial port;
  ASSERT_TRUE(port.Open(pty.name()));
  port.SetTimeout(10000);

  const char outgoing[] = "AT\r\n\0\x7f\xff";
  DWORD start = zavrin::GetTickCount();
  EXPECT_TRUE(port.Write(outgoing, sizeof(outgoing)));
  EXPECT_GE(zavrin::TicksSince(start, zavrin::GetTickCount()), 90u);
  port.Flush();
  char received[sizeof(outgoing)] = {};
  size_t got = 0;
  while (got < sizeof(received)) {
    ssize_t n = read(pty.controller(), received + got, sizeof(received) - got);
    ASSERT_GT(n, 0);
    got += static_cast<size_t>(n);
  }
  EXPECT_EQ(std::string(outgoing, sizeof(outgoing)), std::string(received, sizeof(received)));

  // A read waits for all the bytes asked for, across separate arrivals.
  const char incoming[] = "OK\r\n";
  zavrin::Thread writer;
  static int controller;
  controller = pty.controller();
  ASSERT_TRUE(writer.Start(
      [](void *data) -> DWORD {
        const char *text = static_cast<const char *>(data);
        for (int i = 0; i < 4; i++) {
          zavrin::ThreadSleep(20);
          if (write(controller, text + i, 1) != 1) return 1;
        }
        return 0;
      },
      const_cast<char *>(incoming)));
  char buffer[4];
  EXPECT_EQ(4, port.ReadAll(buffer, sizeof(buffer)));
  EXPECT_EQ(0u, writer.Join());
  EXPECT_EQ("OK\r\n", std::string(buffer, sizeof(buffer)));
}

TEST(Serial, RestartReappliesTheLastSettings) {
  PtyPair pty;
  Serial port;
  ASSERT_TRUE(port.Open(pty.name()));
  EXPECT_TRUE(port.Set(9600, 7, ODDPARITY, TWOSTOPBITS, 2));
  // Something else changes the line behind the port's back.
  struct termios changed = pty.Settings();
  cfsetospeed(&changed, B2400);
  cfsetispeed(&changed, B2400);
  changed.c_cflag &= ~(CSTOPB | PARODD);
  pty.Apply(changed);
  ExpectSettings({B2400, CS8, 0, false}, pty.Settings());
  EXPECT_TRUE(port.Restart());
  ExpectSettings({B9600, CS7, PARENB | PARODD, true}, pty.Settings());
  port.SetTimeout(50);
  char buffer[1];
  EXPECT_EQ(0, port.Read(buffer, 1));  // open again
}

TEST(Serial, TheDeviceIsForOnePortAtATime) {
  PtyPair pty;
  Serial first, second;
  ASSERT_TRUE(first.Open(pty.name()));
  EXPECT_FALSE(second.Open(pty.name()));
  first.Close();
  EXPECT_TRUE(second.Open(pty.name()));
}

TEST(Serial, ClosedOrMissingPortFailsEveryOperation) {
  Serial never;
  char buffer[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(-1, never.Read(buffer, sizeof(buffer)));
  EXPECT_EQ(std::string(4, '\0'), std::string(buffer, 4));
  EXPECT_FALSE(never.Restart());

  Serial missing;
  EXPECT_FALSE(missing.Open("/dev/zavrin-no-such-port"));
  EXPECT_EQ(-1, missing.Read(buffer, sizeof(buffer)));
  EXPECT_EQ(-1, missing.ReadAll(buffer, sizeof(buffer)));
  EXPECT_FALSE(missing.Write("x", 1));
  EXPECT_FALSE(missing.Set(9600, 8, NOPARITY, ONESTOPBIT));
  missing.SetTimeout(10);
  missing.Flush();
  EXPECT_FALSE(missing.Restart());

  // A port that was open and is closed again behaves the same.
  PtyPair pty;
  Serial closed;
  ASSERT_TRUE(closed.Open(pty.name()));
  closed.Close();
  closed.Close();
  EXPECT_EQ(-1, closed.Read(buffer, sizeof(buffer)));
  EXPECT_FALSE(closed.Write("x", 1));
  EXPECT_FALSE(closed.Set(9600, 8, NOPARITY, ONESTOPBIT));
}
