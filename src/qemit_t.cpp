#include "qavex_t_definitions.h"

// Placeholder until the class is built.
void qemit_t_setup() {}
