#include "console_capture.h"

#include <cstdarg>
#include <cstdio>
#include <new>

#include "m_pd.h"

namespace {

thread_local sQavexConsoleLines *t_into = nullptr;

// The host formats into a buffer of MAXPDSTRING characters too.
void emit(bool error, const void *object, const char *fmt, va_list ap)
{
    char buf[MAXPDSTRING];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    if (t_into) {
        try {
            t_into->push_back({error, object != nullptr, buf});
        } catch (const std::bad_alloc &) {
        }
        return;
    }
    if (error) pd_error(object, "%s", buf);
    else post("%s", buf);
}

}  // namespace

void qavex_t_post(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    emit(false, nullptr, fmt, ap);
    va_end(ap);
}

void qavex_t_error(const void *object, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    emit(true, object, fmt, ap);
    va_end(ap);
}

void qavex_t_console_capture(sQavexConsoleLines *into) { t_into = into; }

void qavex_t_console_replay(const sQavexConsoleLines &lines, const void *object)
{
    for (const auto &l : lines) {
        if (l.error) pd_error(l.with_object ? object : nullptr, "%s", l.text.c_str());
        else post("%s", l.text.c_str());
    }
}
