#include "bank_rebuild.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "allocator.h"
#include "console_capture.h"
#include "engine_worker.h"
#include "latency_bound.h"
#include "qbank_dual.h"
#include "qbank_layout.h"
#include "qbank_windows.h"

namespace {

// Logical milliseconds between the clock's looks at a build.
constexpr double POLL_MS = 5.0;

enum : int { JOB_BUILDING = 0, JOB_BUILT, JOB_FAILED, JOB_STOPPED };

// The settings a patch sets by message, as they stood when "rebuild"
// arrived. A setting sent while the build runs is the patch's newest word:
// the swap keeps it instead of the value the build started from.
struct Settings {
    double C_T_c, C_b, C_d, C_q, C_cut, T_max, K, win_window, win_compute, a, aTemp, b, bTemp;
    std::int32_t C_SR, compute_type;
    _eWindowType window;
    _eThetaType theta;
    char thetapath[sizeof(sQbank_Param::thetapath)];
    bool has_thetadata;
    double f0, k;
    float var;
    double rate_request;
};

static Settings settings_of(const sQbank_t *psW)
{
    const sQbank_Param &p = psW->sParam;
    Settings s{};
    s.C_T_c = p.C_T_c;
    s.C_b = p.C_b;
    s.C_d = p.C_d;
    s.C_q = p.C_q;
    s.C_cut = p.C_cut;
    s.T_max = p.T_max;
    s.K = p._K;
    s.win_window = p.dWinlength_window;
    s.win_compute = p.dWinlength_compute;
    s.a = p._a;
    s.aTemp = p._aTemp;
    s.b = p._b;
    s.bTemp = p._bTemp;
    s.C_SR = p.C_SR;
    s.compute_type = p.iComputeType;
    s.window = p.eWindowType;
    s.theta = p.eThetaType;
    std::memcpy(s.thetapath, p.thetapath, sizeof s.thetapath);
    s.has_thetadata = p.thetadata != nullptr;
    if (s.has_thetadata) {
        s.f0 = p.thetadata[0];
        s.k = p.thetadata[1];
    }
    s.var = psW->var;
    s.rate_request = psW->sRate.dSampleRateRequest;
    return s;
}

// Into the swapped-in designer psW, every setting that the replaced state
// old holds with a value other than the one the build started from.
static void keep_newer_settings(sQbank_t *psW, const sQbank_t *old, const Settings &base)
{
    sQbank_Param &n = psW->sParam;
    const sQbank_Param &o = old->sParam;
    // Bitwise: a NaN a patch sent twice is no change.
    auto keep = [](auto &to, const auto &from, const auto &was) {
        if (std::memcmp(&from, &was, sizeof from) != 0) to = from;
    };
    keep(n.C_T_c, o.C_T_c, base.C_T_c);
    keep(n.C_b, o.C_b, base.C_b);
    keep(n.C_d, o.C_d, base.C_d);
    keep(n.C_q, o.C_q, base.C_q);
    keep(n.C_cut, o.C_cut, base.C_cut);
    keep(n.T_max, o.T_max, base.T_max);
    keep(n._K, o._K, base.K);
    keep(n.dWinlength_window, o.dWinlength_window, base.win_window);
    keep(n.dWinlength_compute, o.dWinlength_compute, base.win_compute);
    keep(n._a, o._a, base.a);
    keep(n._aTemp, o._aTemp, base.aTemp);
    keep(n._b, o._b, base.b);
    keep(n._bTemp, o._bTemp, base.bTemp);
    keep(n.C_SR, o.C_SR, base.C_SR);
    keep(n.iComputeType, o.iComputeType, base.compute_type);
    keep(n.eWindowType, o.eWindowType, base.window);
    keep(n.eThetaType, o.eThetaType, base.theta);
    if (std::memcmp(o.thetapath, base.thetapath, sizeof base.thetapath) != 0)
        std::memcpy(n.thetapath, o.thetapath, sizeof n.thetapath);
    if (base.has_thetadata && o.thetadata && n.thetadata) {
        keep(n.thetadata[0], o.thetadata[0], base.f0);
        keep(n.thetadata[1], o.thetadata[1], base.k);
    }
    keep(psW->var, old->var, base.var);
    keep(psW->sRate.dSampleRateRequest, old->sRate.dSampleRateRequest, base.rate_request);
}

// One build: the private designer state it fills (after a swap: the old
// bank), its console lines and the readers still building from it.
struct Job {
    Settings base{};
    sQbank_t *shadow = nullptr;
    sQavexConsoleLines lines;
    bool shorten = true;
    bool duals = false;
    std::atomic<int> state{JOB_BUILDING};
    std::atomic<std::int32_t> preparing{0};
    std::uint64_t offered_at = 0;  // block count when the bank was offered
    std::uint64_t idle_since = 0;  // first block since which no reader builds (0: one builds)
};

}  // namespace

struct sQbankRebuild {
    QavexWorker worker;
    t_clock *clock = nullptr;
    sQbank_t *owner = nullptr;
    bool shorten = true;           // "set_rebuild_shorten"
    Job *building = nullptr;       // on the worker, or waiting for it
    Job *offered = nullptr;        // complete, offered to the readers (pNext)
    Job *swapped = nullptr;        // old bank after the swap: lines to post, memory to free
    std::vector<Job *> abandoned;  // replaced by a newer rebuild, still on the worker
    std::uint64_t blocks = 0;      // block routine calls
    std::uint64_t blocks_at_poll = 0;
};

// ---------------------------------------------------------------- jobs
// A designer state holding the settings of psW and nothing built.
static sQbank_t *make_shadow(const sQbank_t *psW)
{
    auto *S = (sQbank_t *)qavex_t_malloc0(sizeof(sQbank_t));
    if (!S) return nullptr;
    std::memset((void *)S, 0, sizeof *S);
    S->sParam = psW->sParam;
    qbank_t_set_pointers_to_NULL(S);
    sQbank_Param *p = &S->sParam;
    p->iq_compute_sup = 0;
    p->iLongestFrame_paf = -1;
    p->pNext = nullptr;
    p->piPreparing = nullptr;
    if (psW->sParam.thetadata) {
        // The derivation takes f0 and k from here and makes fresh data.
        p->thetadata = (double *)qavex_t_malloc0(2 * sizeof(double));
        if (!p->thetadata) {
            qavex_t_free(S);
            return nullptr;
        }
        p->thetadata[0] = psW->sParam.thetadata[0];
        p->thetadata[1] = psW->sParam.thetadata[1];
    }
    S->var = psW->var;
    S->sRate = psW->sRate;
    S->sPatchDir = psW->sPatchDir;
    S->sDual.uChanges = psW->sDual.uChanges;
    S->sDual.bRequested = psW->sDual.bRequested;
    S->sLatency = psW->sLatency;
    return S;
}

static void free_shadow(sQbank_t *S)
{
    if (!S) return;
    qbank_t_dual_delete(S);  // no outlet: only the dual record
    qbank_t_free_layout(S);
    qavex_t_free(S->sParam.thetadata);
    qavex_t_free(S);
}

static void free_job(Job *j)
{
    if (!j) return;
    free_shadow(j->shadow);
    delete j;
}

static bool bank_complete(const sQbank_t *S, bool duals)
{
    const sQbank_Param &p = S->sParam;
    if (p.iq_compute_sup < 1 || !p.paf_r || !p.paf_i || !p.aiDq || p.iLongestFrame_paf < 1) return false;
    return !duals || S->sDual.psDual;
}

// The worker: the messages a patch would send, in order.
static void build_job(void *arg, const std::atomic<bool> &stop)
{
    Job *j = (Job *)arg;
    sQbank_t *S = j->shadow;
    qavex_t_console_capture(&j->lines);
    bool ok = false;
    do {
        qbank_t_initialize(S, 0);
        if (stop.load() || S->sParam.iq_compute_sup < 1) break;
        qbank_latency_make(S, -1);
        qbank_t_make_windows(S, -1);
        if (stop.load()) break;
        if (j->shorten) {
            qbank_t_shorten_windows(S, -1);
            qbank_latency_shorten(S, -1);
        }
        if (stop.load()) break;
        qbank_t_copy_pac2paf(S, -1);
        if (stop.load()) break;
        if (j->duals) qbank_t_dual_make(S);
        ok = !stop.load() && bank_complete(S, j->duals);
    } while (false);
    qavex_t_console_capture(nullptr);
    j->state.store(stop.load() ? JOB_STOPPED : ok ? JOB_BUILT : JOB_FAILED);
}

// ---------------------------------------------------------------- swap
// Block boundary: the new bank becomes the designer's, the old one goes to
// the job. The record keeps its address; the dual record is the new one's.
static void swap_in(sQbank_t *psW, Job *j)
{
    sQbank_t *S = j->shadow;
    std::swap(psW->sParam, S->sParam);
    psW->sParam.pNext = nullptr;
    psW->sDual.pNextDual = nullptr;
    psW->sParam.piPreparing = nullptr;
    std::swap(psW->pac, S->pac);
    std::swap(psW->var, S->var);
    std::swap(psW->sRate, S->sRate);
    std::swap(psW->sDual.psDual, S->sDual.psDual);
    std::swap(psW->sDual.uChanges, S->sDual.uChanges);
    keep_newer_settings(psW, S, j->base);
}

static void withdraw_offer(sQbankRebuild *r)
{
    r->owner->sParam.pNext = nullptr;
    r->owner->sParam.piPreparing = nullptr;
    r->owner->sDual.pNextDual = nullptr;
}

// ---------------------------------------------------------------- clock
// "rebuild_done 1" out of the message outlet once the new bank is in use,
// "rebuild_done 0" when the build failed.
static void tell(sQbank_t *psW, bool ok)
{
    if (!psW->x_outM) return;
    t_atom a;
    SETFLOAT(&a, ok ? 1.0f : 0.0f);
    outlet_anything(psW->x_outM, gensym("rebuild_done"), 1, &a);
}

static void poll(sQbankRebuild *r)
{
    sQbank_t *psW = r->owner;
    int told = -1;  // told last: the message may delete the designer
    for (auto it = r->abandoned.begin(); it != r->abandoned.end();) {
        if ((*it)->state.load() != JOB_BUILDING) {
            free_job(*it);
            it = r->abandoned.erase(it);
        } else {
            ++it;
        }
    }
    if (r->swapped) {
        qavex_t_console_replay(r->swapped->lines, psW);
        free_job(r->swapped);
        r->swapped = nullptr;
        told = 1;
    }
    const bool dsp_off = r->blocks == r->blocks_at_poll;
    r->blocks_at_poll = r->blocks;
    if (r->building && !r->offered) {
        const int st = r->building->state.load();
        if (st == JOB_FAILED) {
            qavex_t_console_replay(r->building->lines, psW);
            pd_error(psW, "qbank_tilde: rebuild failed, the bank in use stays");
            free_job(r->building);
            r->building = nullptr;
            told = 0;
        } else if (st == JOB_BUILT) {
            r->offered = r->building;
            r->building = nullptr;
            r->offered->offered_at = r->blocks;
            psW->sParam.pNext = &r->offered->shadow->sParam;
            psW->sParam.piPreparing = &r->offered->preparing;
            sQbank_t *S = r->offered->shadow;
            psW->sDual.pNextDual = S->sDual.psDual ? qbank_t_dual_record(S) : nullptr;
        }
    }
    // Without DSP no block routine swaps: the clock does, between ticks.
    if (r->offered && dsp_off && r->offered->preparing.load() == 0) {
        swap_in(psW, r->offered);
        qavex_t_console_replay(r->offered->lines, psW);
        free_job(r->offered);
        r->offered = nullptr;
        told = 1;
    }
    if (r->building || r->offered || r->swapped || !r->abandoned.empty()) clock_delay(r->clock, POLL_MS);
    if (told >= 0) tell(psW, told == 1);
}

// ---------------------------------------------------------------- messages
static sQbankRebuild *state_of(sQbank_t *psW)
{
    if (!psW->psRebuild) {
        auto *r = new (std::nothrow) sQbankRebuild;
        if (!r) return nullptr;
        r->owner = psW;
        r->clock = clock_new(r, (t_method)poll);
        psW->psRebuild = r;
    }
    return psW->psRebuild;
}

static void qbank_t_rebuild(sQbank_t *psW)
{
    sQbankRebuild *r = state_of(psW);
    Job *j = r ? new (std::nothrow) Job : nullptr;
    if (j) j->shadow = make_shadow(psW);
    if (!j || !j->shadow) {
        delete j;
        pd_error(psW, "qbank_tilde: rebuild: Out of Memory, the bank in use stays");
        return;
    }
    j->base = settings_of(psW);
    j->shorten = r->shorten;
    j->duals = psW->sDual.bRequested || psW->sDual.psDual;
    void *dropped = nullptr;
    if (!r->worker.start(build_job, j, &dropped)) {
        free_job(j);
        pd_error(psW, "qbank_tilde: rebuild: no worker thread, the bank in use stays");
        return;
    }
    // A build not begun yet is dropped at once, a running one stops soon.
    if (dropped) {
        free_job((Job *)dropped);
    } else if (r->building) {
        try {
            r->abandoned.push_back(r->building);
        } catch (const std::bad_alloc &) {
            r->worker.wait_idle();
            free_job(r->building);
        }
    }
    r->building = j;
    r->blocks_at_poll = r->blocks;
    clock_delay(r->clock, POLL_MS);
}

static void qbank_t_set_rebuild_shorten(sQbank_t *psW, t_floatarg f)
{
    if (sQbankRebuild *r = state_of(psW)) r->shorten = f != 0;
}

// ---------------------------------------------------------------- interface
void qbank_rebuild_setup(t_class *c)
{
    class_addmethod(c, (t_method)qbank_t_rebuild, gensym("rebuild"), A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_rebuild_shorten, gensym("set_rebuild_shorten"), A_DEFFLOAT, A_NULL);
}

void qbank_rebuild_perform(sQbank_t *psW)
{
    sQbankRebuild *r = psW->psRebuild;
    if (!r) return;
    r->blocks++;
    // Every reader has seen the offer in one whole block, none builds, and
    // each has had one whole block with its finished engine (to bring it up
    // to date with its input before it takes over).
    Job *j = r->offered;
    if (!j || r->swapped) return;
    if (j->preparing.load() != 0) {
        j->idle_since = 0;
        return;
    }
    if (j->idle_since == 0) j->idle_since = r->blocks;
    if (r->blocks < j->offered_at + 2 || r->blocks < j->idle_since + 2) return;
    swap_in(psW, j);
    r->swapped = j;
    r->offered = nullptr;
    clock_delay(r->clock, 0);
}

void qbank_rebuild_free(sQbank_t *psW)
{
    sQbankRebuild *r = psW->psRebuild;
    if (!r) return;
    withdraw_offer(r);
    // Readers' workers may still read the offered bank: they end soon.
    if (r->offered)
        while (r->offered->preparing.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    r->worker.shutdown();  // stops the build and joins
    for (Job *j : r->abandoned) free_job(j);
    free_job(r->building);
    free_job(r->offered);
    free_job(r->swapped);
    clock_free(r->clock);
    delete r;
    psW->psRebuild = nullptr;
}

void qbank_rebuild_wait(sQbank_t *psW)
{
    if (psW->psRebuild) psW->psRebuild->worker.wait_idle();
}
