/* A PC/SC library that lacks SCardGetAttrib, as an old or broken one might:
   the other entry points answer fixed values that the test recognises. */
#include <stdint.h>

typedef long LONG;
typedef unsigned long DWORD;

LONG SCardEstablishContext(DWORD scope, const void* r1, const void* r2, LONG* context) {
  (void)scope, (void)r1, (void)r2;
  *context = 0x1234;
  return 0;
}
LONG SCardReleaseContext(LONG context) { return context == 0x1234 ? 0 : 6; }
LONG SCardConnect(LONG context, const char* reader, DWORD share, DWORD protocols, LONG* card, DWORD* active) {
  (void)context, (void)reader, (void)share, (void)protocols;
  *card = 0x5678;
  *active = 2;
  return 0;
}
LONG SCardDisconnect(LONG card, DWORD disposition) {
  (void)disposition;
  return card == 0x5678 ? 0 : 6;
}
LONG SCardControl(LONG card, DWORD code, const void* in, DWORD inLength, void* out, DWORD outSize, DWORD* returned) {
  (void)card, (void)code, (void)in, (void)inLength;
  if (outSize < 4) return (LONG)0x80100008;
  *(uint32_t*)out = 0x0A0B0C0D;
  *returned = 4;
  return 0;
}
