/* A host program as a library user writes it: built against the installed headers and library (found
 * with pkg-config), it names a bridge and asks it for its firmware version and serial number. */
#include <stdio.h>
#include <string.h>

#include <quillon.h>

int main(int argc, char** argv) {
  char serial[QUILLON_SERIAL_TEXT_SIZE];
  const char* path = argc > 1 ? argv[1] : "\\\\.\\PhysicalDrive1";
  int version;
  memset(serial, 0, sizeof serial);
  version = GetDeviceFwVersion(path);
  if (version == -1) {
    fprintf(stderr, "%s: GetDeviceFwVersion failed\n", path);
    return 1;
  }
  if (GetFwSN(path, serial) != 1) {
    fprintf(stderr, "%s: GetFwSN failed\n", path);
    return 1;
  }
  printf("firmware 0x%08x serial %s\n", (unsigned)version, serial);
  return 0;
}
