#include "qavex_t_definitions.h"

// Placeholder until the class is built.
void invqavex_t_setup() {}
