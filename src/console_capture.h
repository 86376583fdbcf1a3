// Console output of the designer's build steps and the allocator. On the
// host's thread a line goes to the console at once, exactly as post() and
// pd_error() would print it; a worker thread that captures its output (a
// live rebuild) collects the lines instead, and its owner posts them later
// from the scheduler, in order.
#pragma once

#include <string>
#include <vector>

struct sQavexConsoleLine {
    bool error;
    bool with_object;  // the error named an object (the caller's, at replay)
    std::string text;
};
typedef std::vector<sQavexConsoleLine> sQavexConsoleLines;

void qavex_t_post(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void qavex_t_error(const void *object, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Lines of the calling thread go to *into from now on (null: to the console
// again). A failed capture (no memory) drops the line.
void qavex_t_console_capture(sQavexConsoleLines *into);
// Host thread: posts the lines; errors that named an object name object.
void qavex_t_console_replay(const sQavexConsoleLines &lines, const void *object);
