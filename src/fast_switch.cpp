#include "fast_switch.h"

#include <atomic>
#include <cstring>
#include <new>

#include "allocator.h"
#include "bank_snapshot.h"
#include "engine_worker.h"
#include "window_words.h"

namespace {

constexpr int TRASH = 8;

enum : int { JOB_NONE = 0, JOB_RUNNING, JOB_DONE, JOB_FAILED };

}  // namespace

struct sQavexFastSwitch {
    QavexWorker worker;
    const sQavexEngineKind *kind = nullptr;
    t_clock *clock = nullptr;
    // Host thread only (messages, block routine and clock share it).
    sQbank_Param *copy = nullptr;                  // the job's bank, owned
    const sBankSnapshot *held = nullptr;           // the snapshot copy's windows are in, or null
    const sQbank_Param *src = nullptr;             // the bank the job reads (copy, or a rebuilt bank)
    std::atomic<std::int32_t> *release = nullptr;  // counted down when the job no longer reads src
    const sQbank_Param *target = nullptr;
    std::uint32_t gen = 0;
    bool asked = false;
    // Shared with the worker.
    std::atomic<int> job{JOB_NONE};
    std::atomic<void *> result{nullptr};
    std::atomic<void *> trash[TRASH] = {};
};

// ---------------------------------------------------------------- bank copy
// The fields the engines read: band count, hops, float windows (with their
// headers), longest frame and generation; every other table stays null.
// The windows are copied, or taken from a snapshot the bank already has
// (held: then they are the snapshot's, and only its reference is given back).
static void free_copy(sQbank_Param *c, const sBankSnapshot *held)
{
    if (!c) return;
    for (std::int32_t q = 0; q < c->iq_compute_sup && !held; q++) {
        if (c->paf_r) qavex_t_free(c->paf_r[q]);
        if (c->paf_i) qavex_t_free(c->paf_i[q]);
    }
    qavex_t_free(c->paf_r);
    qavex_t_free(c->paf_i);
    qavex_t_free(c->aiDq);
    qavex_t_free(c);
    bank_snapshot_release(held);
}

// Record p's fields and hops with empty window tables; null when memory is
// short or p has no bands.
static sQbank_Param *shell_of(const sQbank_Param *p)
{
    const std::int32_t S = p->iq_compute_sup;
    if (S < 1 || !p->aiDq || !p->paf_r || !p->paf_i) return nullptr;
    auto *c = (sQbank_Param *)qavex_t_malloc0(sizeof(sQbank_Param));
    if (!c) return nullptr;
    std::memcpy((void *)c, p, sizeof *c);
    c->thetadata = nullptr;
    c->aldDq_real = c->aldDq = nullptr;
    c->pNext = nullptr;
    c->piPreparing = nullptr;
    c->iq_compute_sup = 0;  // no band tables yet
    c->paf_r = (paf_type **)qavex_t_malloc0((std::size_t)S * sizeof(paf_type *));
    c->paf_i = (paf_type **)qavex_t_malloc0((std::size_t)S * sizeof(paf_type *));
    c->aiDq = (std::int32_t *)qavex_t_malloc0((std::size_t)S * sizeof(std::int32_t));
    if (!c->paf_r || !c->paf_i || !c->aiDq) {
        free_copy(c, nullptr);
        return nullptr;
    }
    for (std::int32_t q = 0; q < S; q++) c->paf_r[q] = c->paf_i[q] = nullptr;
    c->iq_compute_sup = S;
    std::memcpy(c->aiDq, p->aiDq, (std::size_t)S * sizeof(std::int32_t));
    return c;
}

static paf_type *copy_paf(const paf_type *a, bool *ok)
{
    if (!a) return nullptr;
    const std::int32_t n = qavex_t_window_length(a);
    if (n < 1) return nullptr;
    paf_type *b = qavex_t_new_paf(n, qavex_t_paf_side(a));
    if (!b) {
        *ok = false;
        return nullptr;
    }
    std::memcpy(b, a, (std::size_t)n * sizeof(paf_type));
    return b;
}

// The record with its windows pointing into snapshot s, which holds the
// same windows.
static sQbank_Param *view_of(const sQbank_Param *p, const sBankSnapshot *s)
{
    sQbank_Param *c = shell_of(p);
    for (std::int32_t q = 0; c && q < c->iq_compute_sup; q++) {
        c->paf_r[q] = const_cast<paf_type *>(s->bands[q].r);
        c->paf_i[q] = const_cast<paf_type *>(s->bands[q].i);
    }
    return c;
}

static sQbank_Param *copy_bank(const sQbank_Param *p)
{
    sQbank_Param *c = shell_of(p);
    bool ok = c != nullptr;
    for (std::int32_t q = 0; ok && q < c->iq_compute_sup; q++) {
        c->paf_r[q] = copy_paf(p->paf_r[q], &ok);
        c->paf_i[q] = copy_paf(p->paf_i[q], &ok);
    }
    if (!ok) {
        free_copy(c, nullptr);
        return nullptr;
    }
    return c;
}

// ---------------------------------------------------------------- worker
static void build_job(void *arg, const std::atomic<bool> &)
{
    auto *s = (sQavexFastSwitch *)arg;
    std::atomic<std::int32_t> *release = s->release;
    void *e = s->kind->build(s->src);
    s->result.store(e);
    s->job.store(e ? JOB_DONE : JOB_FAILED);
    if (release) release->fetch_sub(1);
}

static void free_trash(sQavexFastSwitch *s)
{
    for (auto &t : s->trash)
        if (void *e = t.exchange(nullptr)) s->kind->destroy(e);
}

// Worker: the engines the block routine let go (freeing a bank's shared
// data can take longer than a tick).
static void destroy_job(void *arg, const std::atomic<bool> &) { free_trash((sQavexFastSwitch *)arg); }

// Host thread: what no build needs any more. Engines let go are freed on
// the worker when it is idle (here, when `here`), later when it builds.
static void tidy(sQavexFastSwitch *s, bool here)
{
    bool trash = false;
    for (auto &t : s->trash) trash = trash || t.load() != nullptr;
    if (trash && here) free_trash(s);
    else if (trash && s->worker.busy()) clock_delay(s->clock, 10);
    else if (trash && !s->worker.start(destroy_job, s)) free_trash(s);
    if (s->asked || s->job.load() == JOB_RUNNING) return;
    if (void *e = s->result.exchange(nullptr)) s->kind->destroy(e);
    free_copy(s->copy, s->held);
    s->copy = nullptr;
    s->held = nullptr;
    s->src = nullptr;
    s->release = nullptr;
    s->job.store(JOB_NONE);
}

static void tick(sQavexFastSwitch *s)
{
    tidy(s, false);
    // A build dropped while it ran: look again once it has ended.
    if (!s->asked && s->job.load() == JOB_RUNNING) clock_delay(s->clock, 10);
}

// ---------------------------------------------------------------- interface
sQavexFastSwitch *qavex_switch_new(const sQavexEngineKind *kind)
{
    auto *s = new (std::nothrow) sQavexFastSwitch;
    if (!s) return nullptr;
    s->kind = kind;
    if (!s->worker.launch()) {
        delete s;
        return nullptr;
    }
    s->clock = clock_new(s, (t_method)tick);
    return s;
}

void qavex_switch_cancel(sQavexFastSwitch *s)
{
    if (!s) return;
    s->asked = false;
    s->worker.wait_idle();
    tidy(s, true);
}

void qavex_switch_free(sQavexFastSwitch *s)
{
    if (!s) return;
    qavex_switch_cancel(s);
    if (s->clock) clock_free(s->clock);
    delete s;
}

bool qavex_switch_begin(sQavexFastSwitch *s, const sQbank_Param *p)
{
    if (!s || !p || p->iGeneration == 0) return false;
    qavex_switch_cancel(s);
    // A snapshot the bank already has (the exact mode's) saves copying
    // every window in this message.
    s->held = bank_snapshot_find(p);
    s->copy = s->held ? view_of(p, s->held) : copy_bank(p);
    if (!s->copy) {
        bank_snapshot_release(s->held);
        s->held = nullptr;
        return false;
    }
    s->src = s->copy;
    s->release = nullptr;
    s->target = p;
    s->gen = p->iGeneration;
    s->job.store(JOB_RUNNING);
    if (!s->worker.start(build_job, s)) {
        s->job.store(JOB_NONE);
        free_copy(s->copy, s->held);
        s->copy = nullptr;
        s->held = nullptr;
        return false;
    }
    s->asked = true;
    return true;
}

eQavexSwitch qavex_switch_poll(sQavexFastSwitch *s, const sQbank_Param *p, void **engine)
{
    if (!s || !s->asked) return SWITCH_IDLE;
    const int j = s->job.load();
    // A rebuilt bank's record becomes the designer's at the swap (the dual
    // record is published at its own address).
    if ((p == s->target || p == s->src) && p->iGeneration == s->gen) {
        if (j == JOB_RUNNING) return SWITCH_WAIT;
        if (j == JOB_DONE) {
            *engine = s->result.exchange(nullptr);
            s->asked = false;
            clock_delay(s->clock, 0);
            return SWITCH_READY;
        }
    }
    // Built for a rebuilt bank that has not been swapped in yet: the engine
    // of the bank in use goes on.
    if (s->release && p->pNext == s->src && j != JOB_FAILED) return SWITCH_IDLE;
    // Failed, or built for a bank that is no longer in use.
    s->asked = false;
    clock_delay(s->clock, 0);
    return SWITCH_IDLE;
}

void qavex_switch_follow(sQavexFastSwitch *s, const sQbank_Param *p)
{
    const sQbank_Param *n = p->pNext;
    if (!s || !n || !p->piPreparing || n->iGeneration == 0) return;
    if (s->asked || s->job.load() != JOB_NONE) return;  // busy: built in the block after the swap
    p->piPreparing->fetch_add(1);
    s->src = n;
    s->release = p->piPreparing;
    s->target = p;
    s->gen = n->iGeneration;
    s->job.store(JOB_RUNNING);
    if (!s->worker.start(build_job, s)) {
        s->job.store(JOB_NONE);
        s->src = nullptr;
        s->release = nullptr;
        p->piPreparing->fetch_sub(1);
        return;
    }
    s->asked = true;
}

void *qavex_switch_offered(sQavexFastSwitch *s, const sQbank_Param *p)
{
    if (!s || !s->asked || !s->release || !p->pNext || p->pNext != s->src) return nullptr;
    return s->job.load() == JOB_DONE ? s->result.load() : nullptr;
}

bool qavex_switch_discard(sQavexFastSwitch *s, void *e)
{
    if (!s || !e) return false;
    for (auto &t : s->trash) {
        void *none = nullptr;
        if (t.compare_exchange_strong(none, e)) {
            clock_delay(s->clock, 0);
            return true;
        }
    }
    return false;
}

void qavex_switch_wait(sQavexFastSwitch *s)
{
    if (s) s->worker.wait_idle();
}
