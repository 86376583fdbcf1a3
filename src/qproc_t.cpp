#include "qavex_t_definitions.h"

// Placeholder until the class is built.
void qproc_t_setup() {}
