// Builds a message with every variable type, writes its wire form in protocol
// versions 1 and 2, reads each back and prints the variables and the bytes.
#include <zavrin.h>

#include <arpa/inet.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

enum : DWORD {
  kVarCounter = 1,
  kVarName = 2,
  kVarBytesSent = 3,
  kVarPort = 4,
  kVarDigest = 5,
  kVarLoad = 6,
  kVarHandles = 7,
};

void HexDump(const void *data, size_t size) {
  const unsigned char *bytes = static_cast<const unsigned char *>(data);
  for (size_t line = 0; line < size; line += 16) {
    printf("  %04zx ", line);
    for (size_t i = line; i < line + 16; i++) {
      if (i < size) {
        printf(" %02x", bytes[i]);
      } else {
        printf("   ");
      }
    }
    printf("  ");
    for (size_t i = line; i < line + 16 && i < size; i++) {
      putchar(bytes[i] >= 0x20 && bytes[i] < 0x7F ? bytes[i] : '.');
    }
    putchar('\n');
  }
}

void PrintVariables(const CSCPMessage &msg) {
  printf("  code %u, id %u, end of sequence %d\n", msg.GetCode(), msg.GetId(),
         msg.IsEndOfSequence());
  printf("  int32  %u: %u\n", kVarCounter, msg.GetVariableLong(kVarCounter));
  char *name = msg.GetVariableStr(kVarName);
  printf("  string %u: \"%s\"\n", kVarName, name != nullptr ? name : "(none)");
  free(name);
  printf("  int64  %u: %" PRIu64 "\n", kVarBytesSent, msg.GetVariableInt64(kVarBytesSent));
  printf("  int16  %u: %u (signed %d)\n", kVarPort, msg.GetVariableShort(kVarPort),
         msg.GetVariableShortAsInt32(kVarPort));
  BYTE digest[16];
  DWORD length = msg.GetVariableBinary(kVarDigest, digest, sizeof(digest));
  printf("  binary %u: %u bytes:", kVarDigest, length);
  for (DWORD i = 0; i < length && i < sizeof(digest); i++) printf(" %02x", digest[i]);
  printf("\n  float  %u: %g\n", kVarLoad, msg.GetVariableDouble(kVarLoad));
  DWORD handles[4];
  DWORD count = msg.GetVariableInt32Array(kVarHandles, 4, handles);
  printf("  array  %u: %u elements:", kVarHandles, count);
  for (DWORD i = 0; i < count && i < 4; i++) printf(" %u", handles[i]);
  putchar('\n');
}

}  // namespace

int main() {
  int failures = 0;
  for (int version = 1; version <= 2; version++) {
    CSCPMessage msg(version);
    msg.SetCode(0x1C);
    msg.SetId(42);
    msg.SetEndOfSequence();
    msg.SetVariable(kVarCounter, static_cast<DWORD>(123456));
    msg.SetVariable(kVarName, "Z\xC3\xBCrich \xF0\x9F\x97\xBB");  // Zürich and a mountain
    msg.SetVariable(kVarBytesSent, static_cast<QWORD>(0x123456789ABCull));
    msg.SetVariable(kVarPort, static_cast<WORD>(0xFFFE));
    const BYTE digest[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    msg.SetVariable(kVarDigest, digest, sizeof(digest));
    msg.SetVariable(kVarLoad, 0.75);
    const DWORD handles[] = {3, 5, 8};
    msg.SetVariableToInt32Array(kVarHandles, 3, handles);

    CSCP_MESSAGE *wire = msg.CreateMessage();
    if (wire == nullptr) {
      fprintf(stderr, "out of memory\n");
      return 1;
    }
    DWORD size = ntohl(wire->size);
    printf("Version %d wire form, %u bytes:\n", version, size);
    HexDump(wire, size);

    CSCPMessage read(wire, version);
    printf("Read back:\n");
    PrintVariables(read);
    if (read.GetVariableLong(kVarCounter) != 123456 || read.GetVariableDouble(kVarLoad) != 0.75) {
      failures++;
    }
    free(wire);
    putchar('\n');
  }
  return failures == 0 ? 0 : 1;
}
