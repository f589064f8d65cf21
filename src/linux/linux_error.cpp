#include "linux/linux_error.h"

static thread_local uint32_t t_last_error;
static thread_local char t_last_reason[VS_REASON_SIZE];

void vs_set_last_error(uint32_t code) {
  t_last_error = code;
  t_last_reason[0] = '\0';
}

void vs_set_last_error_reason(uint32_t code, const char *reason, size_t length) {
  t_last_error = code;
  while (length > 0 && (unsigned char)reason[0] <= ' ') {
    reason++;
    length--;
  }
  while (length > 0 && (unsigned char)reason[length - 1] <= ' ') length--;
  if (length > VS_REASON_SIZE - 1) length = VS_REASON_SIZE - 1;
  for (size_t i = 0; i < length; i++) {
    unsigned char c = (unsigned char)reason[i];
    t_last_reason[i] = c < ' ' || c == 0x7f ? ' ' : (char)c;
  }
  t_last_reason[length] = '\0';
}

uint32_t vs_last_error(void) { return t_last_error; }

const char *vs_last_reason(void) { return t_last_reason; }
