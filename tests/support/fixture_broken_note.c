/* An executable whose package note holds broken JSON (the linker refuses to
   write such a note itself, so the note is spelled out here). */
#include <stdint.h>

#define BROKEN_JSON "{\"name\":\"x\",\"version\":"

struct note {
  uint32_t namesz, descsz, type;
  char name[4];
  char desc[(sizeof(BROKEN_JSON) + 3) & ~3u];
};

__attribute__((section(".note.package"), aligned(4), used))
static const struct note package_note = {4, sizeof(BROKEN_JSON), 0xcafe1a7e, "FDO", BROKEN_JSON};

int main(void) { return 0; }
