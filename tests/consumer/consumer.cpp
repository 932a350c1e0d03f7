// A program outside the project that takes the library in: it builds a message,
// writes its wire form, reads it back and checks a CRC-32 from the library
// against the value every implementation gives for "123456789", and names an
// exception code the way a crash callback of its own would.
#include <zavrin.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main() {
  CSCPMessage msg;
  msg.SetCode(CMD_KEEPALIVE);
  msg.SetId(7);
  msg.SetVariable(1, static_cast<DWORD>(42));
  CSCP_MESSAGE *wire = msg.CreateMessage();
  if (wire == nullptr) return 1;
  CSCPMessage back(wire, ZVCP_PROTOCOL_VERSION);
  free(wire);
  const char check[] = "123456789";
  DWORD crc = CalculateCRC32(check, 9, 0);
  if (back.GetId() != 7 || back.GetVariableLong(1) != 42 || crc != 0xCBF43926 ||
      strcmp(SEHExceptionName(EXCEPTION_ACCESS_VIOLATION), "Access violation") != 0) {
    fprintf(stderr, "consumer: unexpected results\n");
    return 1;
  }
  printf("consumer: ok\n");
  return 0;
}
