#include "qdump_t.h"
#include "bus_tools.h"
#include "bus_words.h"
#include "m_pd.h"
#include "patch_paths.h"
#include "records.h"
#include "window_words.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>

static t_class *pcQdump_t = nullptr;

static void qdump_t_close(sQdump_t *psW)
{
    if (!psW->myfile) return;
    // Buffered lines reach the file only here: a failure means lost data.
    errno = 0;
    const bool flushed = std::fflush(psW->myfile) == 0;
    const int flush_errno = errno;
    errno = 0;
    const bool closed = std::fclose(psW->myfile) == 0;
    psW->myfile = nullptr;
    if (!flushed || !closed)
        pd_error(psW, "qdump~: closing %s failed: %s", psW->filepath, std::strerror(!flushed ? flush_errno : errno));
}

// A write failure ends the file: one error, then the object behaves as
// without a file, so the loss is reported once and not on every block.
static void qdump_t_write_failed(sQdump_t *psW, int err)
{
    pd_error(psW, "qdump~: writing %s failed: %s", psW->filepath, std::strerror(err));
    std::fclose(psW->myfile);
    psW->myfile = nullptr;
}

static void qdump_t_open(sQdump_t *psW, t_symbol *, int argc, t_atom *argv)
{
    if (argc < 1) {
        post("Call with path as first parameter");
        return;
    }
    qavex_atom_file_name(&argv[0], psW->filepath, QDUMP_PATH_SIZE);
    // An earlier file is completed first, so nothing written to it is lost.
    qdump_t_close(psW);
    errno = 0;
    // Binary mode: lines end in a line feed alone on Windows too.
    psW->myfile = std::fopen(qavex_patch_path(psW->sPatchDir, psW->filepath).c_str(), "wb");
    if (!psW->myfile) pd_error(psW, "qdump~: cannot open %s: %s", psW->filepath, std::strerror(errno));
}

static void qdump_t_set_threshold(sQdump_t *psW, t_floatarg f) { psW->threshold = f; }

static void qdump_t_bang(sQdump_t *psW)
{
    if (psW->myfile) post("File opened: %s", psW->filepath);
    else post("No open file.");
    post("Threshold: %f", (double)psW->threshold);
}

// Element count of the band's float window, 0 when the record has no such
// band or the band has no window.
static std::int32_t qdump_t_window_length(const sQbank_Param *p, std::int32_t band)
{
    if (band < 0 || band >= p->iq_compute_sup || !p->paf_r || !p->paf_r[band]) return 0;
    return qavex_t_window_length(p->paf_r[band]);
}

static t_int *qdump_t_perform(t_int *w)
{
    sQdump_t *psW = (sQdump_t *)w[1];
    sQavex_ParamIn pin;
    sQavex_CoeffIn cin;
    // The bus layout needs 64-sample blocks; other sizes are ignored.
    if (!qavex_t_read_bus_args(w, pin, cin) || !psW->myfile) return w + 5;

    const double thr = (double)psW->threshold;
    for (std::int32_t k = 0; k < cin.n; k++) {
        const sQavex_Coeff *list = cin.lists[k];
        if (!list) continue;
        for (std::int32_t i = list[0].numCoeff - 1; i >= 0; i--) {
            const sQavex_Coeff &c = list[i];
            if (!(std::fabs(c.val_r) > thr || std::fabs(c.val_i) > thr)) continue;
            // Wraps (defined) after 2^31 samples instead of overflowing.
            std::int32_t t = (std::int32_t)((std::uint32_t)psW->counter + (std::uint32_t)c.start);
            if (std::fprintf(psW->myfile, "%i\t%i\t%.20f\t%.20f\t%i\n", (int)t, (int)c.band, c.val_r, c.val_i,
                             (int)qdump_t_window_length(pin.p, c.band)) < 0) {
                qdump_t_write_failed(psW, errno);
                return w + 5;
            }
        }
    }
    psW->counter = (std::int32_t)((std::uint32_t)psW->counter + QAVEX_BLOCK);
    return w + 5;
}

static void qdump_t_dsp(sQdump_t *psW, t_signal **sp)
{
    // sp: coefficient channel (main inlet), parameter channel.
    if (sp[0]->s_n != QAVEX_BLOCK)
        pd_error(psW, "qdump~: block size %i not supported (needs 64), nothing is written", (int)sp[0]->s_n);
    dsp_add(qdump_t_perform, 4, psW, sp[0]->s_vec, sp[1]->s_vec, (t_int)sp[0]->s_n);
}

static void *qdump_t_new(t_floatarg fThreshold)
{
    sQdump_t *psW = (sQdump_t *)pd_new(pcQdump_t);
    psW->fConstSignal = 0;
    psW->x_inC = inlet_new(&psW->x_obj, &psW->x_obj.ob_pd, &s_signal, &s_signal);
    psW->filepath[0] = 0;
    psW->myfile = nullptr;
    psW->counter = 0;
    psW->threshold = fThreshold;
    psW->sPatchDir = qavex_current_patch_dir();
    return psW;
}

static void qdump_t_delete(sQdump_t *psW)
{
    qdump_t_close(psW);
    inlet_free(psW->x_inC);
}

void qdump_t_setup()
{
    pcQdump_t = qavex_t_tool_class("qdump~", (t_newmethod)(t_method)qdump_t_new, (t_method)qdump_t_delete,
                                   sizeof(sQdump_t), A_DEFFLOAT, (int)offsetof(sQdump_t, fConstSignal),
                                   (t_method)qdump_t_dsp, (t_method)qdump_t_bang);
    class_addmethod(pcQdump_t, (t_method)qdump_t_open, gensym("open"), A_GIMME, A_NULL);
    class_addmethod(pcQdump_t, (t_method)qdump_t_close, gensym("close"), A_NULL);
    class_addmethod(pcQdump_t, (t_method)qdump_t_set_threshold, gensym("set_threshold"), A_DEFFLOAT, A_NULL);
}
