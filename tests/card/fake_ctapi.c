/* A CT-API library whose terminals are described by the environment, for the
   failure paths a real terminal does not produce. VELKARO_FAKE_CTAPI holds
   "port=name" pairs separated by '|'; the name "#junk" makes the terminal
   answer 128 bytes without a zero byte and claim more than the buffer holds. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static int g_open_port = 0;
static int g_inits = 0;
static int g_closes = 0;

static const char* terminal_name(int port, size_t* length) {
  const char* list = getenv("VELKARO_FAKE_CTAPI");
  while (list && *list) {
    const char* end = strchr(list, '|');
    size_t entry = end ? (size_t)(end - list) : strlen(list);
    if (atoi(list) == port) {
      const char* equals = memchr(list, '=', entry);
      if (equals) {
        *length = entry - (size_t)(equals + 1 - list);
        return equals + 1;
      }
    }
    list = end ? end + 1 : NULL;
  }
  return NULL;
}

int8_t CT_init(uint16_t ctn, uint16_t pn) {
  size_t length = 0;
  (void)ctn;
  if (!terminal_name(pn, &length)) return -1;
  g_open_port = pn;
  ++g_inits;
  return 0;
}

int8_t CT_data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, const uint8_t* command, uint16_t* lenr,
               uint8_t* response) {
  size_t length = 0;
  const char* name = terminal_name(g_open_port, &length);
  (void)ctn, (void)dad, (void)sad, (void)lenc, (void)command;
  if (!name || *lenr < 128) return -1;
  if (length == 5 && memcmp(name, "#junk", 5) == 0) {
    memset(response, 'J', *lenr);
    *lenr = 200;
    return 0;
  }
  if (length + 2 > *lenr) length = *lenr - 2u;
  memcpy(response, name, length);
  response[length] = 0x90;
  response[length + 1] = 0x00;
  *lenr = (uint16_t)(length + 2);
  return 0;
}

int8_t CT_close(uint16_t ctn) {
  (void)ctn;
  g_open_port = 0;
  ++g_closes;
  return 0;
}

int fake_ctapi_balance(void) { return g_inits - g_closes; }
