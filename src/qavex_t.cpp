#include "qavex_t_definitions.h"

// Placeholder until the class is built.
void qavex_t_setup() {}
