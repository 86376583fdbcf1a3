#include "qavex_t_definitions.h"

// Placeholder until the class is built.
void qdump_t_setup() {}
