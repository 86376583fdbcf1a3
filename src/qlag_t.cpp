#include "qavex_t_definitions.h"

// Placeholder until the class is built.
void qlag_t_setup() {}
