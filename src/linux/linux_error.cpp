#include "linux/linux_error.h"

static thread_local uint32_t t_last_error;

void vs_set_last_error(uint32_t code) { t_last_error = code; }

uint32_t vs_last_error(void) { return t_last_error; }
