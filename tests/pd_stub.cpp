// Host stand-in for unit tests: implements the m_pd.h calls the library
// uses and records what the library does with them.
#include "pd_stub.h"

#include "qavex_t_definitions.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <utility>

// The host declares its variadic registration calls after an enum
// parameter, which clang flags in va_start.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wvarargs"
#endif

struct Method {
    t_method fn;
    std::vector<t_atomtype> args;
};

struct _class {
    std::string name;
    t_newmethod newmethod;
    t_method freemethod;
    size_t size;
    int flags;
    std::vector<t_atomtype> newargs;
    std::map<std::string, Method> methods;
    t_method bang = nullptr;
    t_method list = nullptr;
    int signal_onset = -1;
};

struct _outlet {
    t_object *owner;
    bool is_signal;
    bool connected = false;
};

struct _inlet {
    stub::InletInfo info;
};

namespace {
std::vector<stub::Line> g_console;
std::vector<stub::OutletEvent> g_events;
std::vector<stub::DspCall> g_dsp;
std::map<std::string, std::unique_ptr<t_class>> g_classes;
std::vector<std::unique_ptr<_outlet>> g_outlets;
std::vector<std::unique_ptr<_inlet>> g_inlets;
std::set<_outlet *> g_freed_outlets;
t_float g_sr = 44100;
std::string g_patch_dir;
bool g_in_patch = false;
_glist *const g_patch = reinterpret_cast<_glist *>(&g_patch_dir);

std::string vformat(const char *fmt, va_list ap)
{
    char buf[8192];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    return buf;
}

float atom_num(const t_atom &a) { return a.a_type == A_FLOAT ? a.a_w.w_float : 0.0f; }

std::vector<float> atoms_to_floats(int argc, const t_atom *argv)
{
    std::vector<float> v;
    for (int i = 0; i < argc; i++) v.push_back(atom_num(argv[i]));
    return v;
}

// Calls fn the way the host does: pointer-sized arguments in order, then
// float arguments in order, through a prototype with exactly as many of
// each. (One long prototype for every call puts the floats in the right
// registers only where they travel apart from the pointers, as on Linux
// and macOS; Windows passes every argument in the place of its position.)
template <std::size_t... I, std::size_t... F>
void *call_exact(void *fn, const t_int *ai, const t_floatarg *ad, std::index_sequence<I...>, std::index_sequence<F...>)
{
    typedef void *(*t_fun)(decltype((void)I, t_int())..., decltype((void)F, t_floatarg())...);
    return ((t_fun)fn)(ai[I]..., ad[F]...);
}

template <std::size_t NI>
void *call_with_floats(void *fn, const t_int *ai, const t_floatarg *ad, int nd)
{
    const auto ints = std::make_index_sequence<NI>{};
    switch (nd) {
    case 0: return call_exact(fn, ai, ad, ints, std::make_index_sequence<0>{});
    case 1: return call_exact(fn, ai, ad, ints, std::make_index_sequence<1>{});
    case 2: return call_exact(fn, ai, ad, ints, std::make_index_sequence<2>{});
    case 3: return call_exact(fn, ai, ad, ints, std::make_index_sequence<3>{});
    case 4: return call_exact(fn, ai, ad, ints, std::make_index_sequence<4>{});
    default: return call_exact(fn, ai, ad, ints, std::make_index_sequence<5>{});
    }
}

void *call_method(void *fn, const t_int *ai, int ni, const t_floatarg *ad, int nd)
{
    switch (ni) {
    case 0: return call_with_floats<0>(fn, ai, ad, nd);
    case 1: return call_with_floats<1>(fn, ai, ad, nd);
    case 2: return call_with_floats<2>(fn, ai, ad, nd);
    case 3: return call_with_floats<3>(fn, ai, ad, nd);
    case 4: return call_with_floats<4>(fn, ai, ad, nd);
    case 5: return call_with_floats<5>(fn, ai, ad, nd);
    default: return call_with_floats<6>(fn, ai, ad, nd);
    }
}

void *dispatch(void *fn, t_pd *self, const std::vector<t_atomtype> &types, t_symbol *sel,
               const std::vector<t_atom> &args)
{
    t_int ai[6] = {0, 0, 0, 0, 0, 0};
    t_floatarg ad[5] = {0, 0, 0, 0, 0};
    int ni = 0, nd = 0;
    if (self) ai[ni++] = (t_int)self;
    if (!types.empty() && types[0] == A_GIMME) {
        ai[ni++] = (t_int)sel;
        ai[ni++] = (t_int)args.size();
        ai[ni++] = (t_int)(args.empty() ? nullptr : args.data());
    } else {
        size_t k = 0;
        for (t_atomtype t : types) {
            const t_atom *a = k < args.size() ? &args[k] : nullptr;
            k++;
            if (t == A_FLOAT || t == A_DEFFLOAT) {
                ad[nd++] = a ? atom_num(*a) : 0.0f;
            } else if (t == A_SYMBOL || t == A_DEFSYM) {
                ai[ni++] = (t_int)((a && a->a_type == A_SYMBOL) ? a->a_w.w_symbol : gensym(""));
            }
        }
    }
    return call_method(fn, ai, ni, ad, nd);
}
}  // namespace

// ---------------------------------------------------------------- host API
extern "C" {

t_symbol s_signal = {"signal", nullptr, nullptr};
t_symbol s_float = {"float", nullptr, nullptr};
t_symbol s_list = {"list", nullptr, nullptr};
t_symbol s_bang = {"bang", nullptr, nullptr};
t_symbol s_symbol = {"symbol", nullptr, nullptr};
t_symbol s_anything = {"anything", nullptr, nullptr};
t_symbol s_ = {"", nullptr, nullptr};

void post(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    g_console.push_back({false, vformat(fmt, ap)});
    va_end(ap);
}

void startpost(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    g_console.push_back({false, vformat(fmt, ap)});
    va_end(ap);
}

void endpost(void) {}

void pd_error(const void *object, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    g_console.push_back({true, vformat(fmt, ap), object});
    va_end(ap);
}

void logpost(const void *, int level, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    g_console.push_back({level <= 1, vformat(fmt, ap)});
    va_end(ap);
}

t_symbol *gensym(const char *s)
{
    // Each symbol owns its name, so both are freed when the table goes at exit.
    struct Owned {
        t_symbol sym;
        std::unique_ptr<char[]> name;
    };
    static std::map<std::string, std::unique_ptr<Owned>> table;
    std::string key(s);
    if (key == "signal") return &s_signal;
    if (key == "float") return &s_float;
    if (key == "list") return &s_list;
    if (key == "bang") return &s_bang;
    if (key == "symbol") return &s_symbol;
    auto it = table.find(key);
    if (it != table.end()) return &it->second->sym;
    auto o = std::make_unique<Owned>();
    o->name = std::make_unique<char[]>(key.size() + 1);
    std::memcpy(o->name.get(), key.c_str(), key.size() + 1);
    o->sym.s_name = o->name.get();
    o->sym.s_thing = nullptr;
    o->sym.s_next = nullptr;
    t_symbol *r = &o->sym;
    table[key] = std::move(o);
    return r;
}

t_class *class_new(t_symbol *name, t_newmethod newmethod, t_method freemethod, size_t size, int flags, t_atomtype arg1,
                   ...)
{
    auto c = std::make_unique<t_class>();
    c->name = name->s_name;
    c->newmethod = newmethod;
    c->freemethod = freemethod;
    c->size = size;
    c->flags = flags;
    va_list ap;
    va_start(ap, arg1);
    for (t_atomtype t = arg1; t != A_NULL; t = (t_atomtype)va_arg(ap, int)) c->newargs.push_back(t);
    va_end(ap);
    t_class *r = c.get();
    g_classes[c->name] = std::move(c);
    return r;
}

void class_addcreator(t_newmethod, t_symbol *, t_atomtype, ...) {}

void class_addmethod(t_class *c, t_method fn, t_symbol *sel, t_atomtype arg1, ...)
{
    Method m{fn, {}};
    va_list ap;
    va_start(ap, arg1);
    for (t_atomtype t = arg1; t != A_NULL; t = (t_atomtype)va_arg(ap, int)) m.args.push_back(t);
    va_end(ap);
    c->methods[sel->s_name] = m;
}

#undef class_addbang
#undef class_addlist
void class_addbang(t_class *c, t_method fn) { c->bang = fn; }
void class_addlist(t_class *c, t_method fn) { c->list = fn; }
void class_domainsignalin(t_class *c, int onset) { c->signal_onset = onset; }
void class_sethelpsymbol(t_class *, t_symbol *) {}

t_pd *pd_new(t_class *cls)
{
    t_pd *x = (t_pd *)std::calloc(1, cls->size);
    *x = cls;
    return x;
}

// Runs the class's destructor and releases the object, as the host does.
void pd_free(t_pd *x)
{
    t_class *c = *x;
    if (c->freemethod) dispatch((void *)c->freemethod, x, {}, nullptr, {});
    std::free(x);
}

t_inlet *inlet_new(t_object *owner, t_pd *, t_symbol *s1, t_symbol *s2)
{
    auto in = std::make_unique<_inlet>();
    in->info.owner = owner;
    in->info.is_signal = s1 == &s_signal;
    in->info.fp = nullptr;
    in->info.sel = s2 ? s2->s_name : "";
    t_inlet *r = in.get();
    g_inlets.push_back(std::move(in));
    return r;
}

t_inlet *floatinlet_new(t_object *owner, t_float *fp)
{
    auto in = std::make_unique<_inlet>();
    in->info.owner = owner;
    in->info.is_signal = false;
    in->info.fp = fp;
    t_inlet *r = in.get();
    g_inlets.push_back(std::move(in));
    return r;
}

t_inlet *signalinlet_new(t_object *owner, t_float) { return inlet_new(owner, nullptr, &s_signal, &s_signal); }

void inlet_free(t_inlet *x)
{
    if (x) x->info.owner = nullptr;
}

t_outlet *outlet_new(t_object *owner, t_symbol *s)
{
    auto o = std::make_unique<_outlet>();
    o->owner = owner;
    o->is_signal = s == &s_signal;
    t_outlet *r = o.get();
    g_outlets.push_back(std::move(o));
    return r;
}

void outlet_free(t_outlet *x)
{
    if (x) x->owner = nullptr;
}

// From the host's internal header: a connection of outlet nout (counted over
// all outlets of the object), null when it has none.
t_outconnect *obj_starttraverseoutlet(const t_object *x, t_outlet **op, int nout)
{
    for (auto &o : g_outlets)
        if (o->owner == x && nout-- == 0) {
            *op = o.get();
            return o->connected ? (t_outconnect *)o.get() : nullptr;
        }
    *op = nullptr;
    return nullptr;
}

void outlet_bang(t_outlet *x) { g_events.push_back({x, "bang", {}}); }
void outlet_float(t_outlet *x, t_float f) { g_events.push_back({x, "float", {f}}); }
void outlet_symbol(t_outlet *x, t_symbol *) { g_events.push_back({x, "symbol", {}}); }
void outlet_list(t_outlet *x, t_symbol *, int argc, t_atom *argv)
{
    g_events.push_back({x, "list", atoms_to_floats(argc, argv)});
}
void outlet_anything(t_outlet *x, t_symbol *s, int argc, t_atom *argv)
{
    g_events.push_back({x, s->s_name, atoms_to_floats(argc, argv)});
}

t_float sys_getsr(void) { return g_sr; }

// The host's object factory and the patch being loaded: the "~" spellings
// go through the factory, objects remember their patch's folder.
t_pd pd_objectmaker = nullptr;
void pd_typedmess(t_pd *, t_symbol *, int, t_atom *) {}
t_pd *pd_newest(void) { return nullptr; }
t_glist *canvas_getcurrent(void) { return g_in_patch ? g_patch : nullptr; }
t_symbol *canvas_getdir(const t_glist *x) { return x == g_patch ? gensym(g_patch_dir.c_str()) : &s_; }
int sys_getblksize(void) { return 64; }

void dsp_add(t_perfroutine f, int n, ...)
{
    stub::DspCall c{f, {}};
    va_list ap;
    va_start(ap, n);
    for (int i = 0; i < n; i++) c.args.push_back(va_arg(ap, t_int));
    va_end(ap);
    g_dsp.push_back(c);
}

t_float atom_getfloat(const t_atom *a) { return a->a_type == A_FLOAT ? a->a_w.w_float : 0; }
t_int atom_getint(const t_atom *a) { return (t_int)atom_getfloat(a); }
t_symbol *atom_getsymbol(const t_atom *a) { return a->a_type == A_SYMBOL ? a->a_w.w_symbol : &s_symbol; }
t_float atom_getfloatarg(int which, int argc, const t_atom *argv)
{
    if (which < 0 || which >= argc) return 0;
    return atom_getfloat(argv + which);
}
t_int atom_getintarg(int which, int argc, const t_atom *argv) { return (t_int)atom_getfloatarg(which, argc, argv); }
t_symbol *atom_getsymbolarg(int which, int argc, const t_atom *argv)
{
    if (which < 0 || which >= argc) return &s_;
    return atom_getsymbol(argv + which);
}

void atom_string(const t_atom *a, char *buf, unsigned int bufsize)
{
    if (!bufsize) return;
    char tmp[1000];
    if (a->a_type == A_FLOAT) std::snprintf(tmp, sizeof tmp, "%g", a->a_w.w_float);
    else if (a->a_type == A_SYMBOL) std::snprintf(tmp, sizeof tmp, "%s", a->a_w.w_symbol->s_name);
    else tmp[0] = 0;
    std::strncpy(buf, tmp, bufsize - 1);
    buf[bufsize - 1] = 0;
}

void *getbytes(size_t nbytes) { return std::calloc(1, nbytes ? nbytes : 1); }
void freebytes(void *x, size_t) { std::free(x); }
void *resizebytes(void *x, size_t, size_t newsize) { return std::realloc(x, newsize); }

}  // extern "C"

// ---------------------------------------------------------------- test API
namespace stub {

std::vector<Line> &console() { return g_console; }

void clear()
{
    g_console.clear();
    g_events.clear();
    g_dsp.clear();
}

void publish_param(t_sample *v, const sQbank_Param *p)
{
    qavex_t_record_add(p, eQavexRecord::PARAM);
    qavex_t_write_param_block(v, p);
}

void publish_coeff(t_sample *v, sQavex_Coeff **lists, std::int32_t n)
{
    qavex_t_record_add(lists, eQavexRecord::LISTS, n > 0 ? n : 0);
    qavex_t_write_coeff_block(v, lists, n);
}

std::string console_text()
{
    std::string s;
    for (auto &l : g_console) s += (l.error ? "error: " : "") + l.text + "\n";
    return s;
}

bool posted(const std::string &text)
{
    for (auto &l : g_console)
        if (!l.error && l.text == text) return true;
    return false;
}

bool errored(const std::string &text)
{
    for (auto &l : g_console)
        if (l.error && l.text == text) return true;
    return false;
}

int count_lines(const std::string &text)
{
    int n = 0;
    for (auto &l : g_console)
        if (l.text == text) n++;
    return n;
}

int count_errors()
{
    int n = 0;
    for (auto &l : g_console) n += l.error;
    return n;
}

const std::vector<Line> &load(void (*setup)())
{
    static std::map<void (*)(), std::vector<Line>> loaded;
    auto it = loaded.find(setup);
    if (it != loaded.end()) return it->second;
    const size_t before = g_console.size();
    setup();
    return loaded[setup] = std::vector<Line>(g_console.begin() + (long)before, g_console.end());
}

std::vector<OutletEvent> &outlet_events() { return g_events; }

std::vector<OutletEvent> events_of(t_outlet *o)
{
    std::vector<OutletEvent> r;
    for (auto &e : g_events)
        if (e.outlet == o) r.push_back(e);
    return r;
}

void set_samplerate(t_float sr) { g_sr = sr; }

void set_patch_dir(const char *dir)
{
    g_in_patch = dir != nullptr;
    g_patch_dir = dir ? dir : "";
}

t_class *find_class(const std::string &name)
{
    auto it = g_classes.find(name);
    return it == g_classes.end() ? nullptr : it->second.get();
}

t_pd *create(const std::string &cls, const std::vector<t_atom> &args)
{
    t_class *c = find_class(cls);
    if (!c) return nullptr;
    return (t_pd *)dispatch((void *)c->newmethod, nullptr, c->newargs, gensym(cls.c_str()), args);
}

void destroy(t_pd *x)
{
    t_class *c = *x;
    if (c->freemethod) dispatch((void *)c->freemethod, x, {}, nullptr, {});
    std::free(x);
}

bool send(t_pd *x, const std::string &sel, const std::vector<t_atom> &args)
{
    t_class *c = *x;
    if (sel == "bang" && c->bang) {
        dispatch((void *)c->bang, x, {}, nullptr, {});
        return true;
    }
    if (sel == "float" && !c->list && c->signal_onset >= 0 && c->methods.find("float") == c->methods.end()) {
        // A float to a main signal inlet sets its scalar, as in the host.
        *main_signal_scalar(x) = args.empty() ? 0.0f : atom_num(args[0]);
        return true;
    }
    if ((sel == "list" || sel == "float") && c->list) {
        dispatch((void *)c->list, x, {A_GIMME}, &s_list, args);
        return true;
    }
    auto it = c->methods.find(sel);
    if (it == c->methods.end()) return false;
    dispatch((void *)it->second.fn, x, it->second.args, gensym(sel.c_str()), args);
    return true;
}

std::vector<DspCall> &dsp_calls() { return g_dsp; }

std::vector<DspCall> dsp(t_pd *x, const std::vector<t_sample *> &vecs, int n)
{
    t_class *c = *x;
    std::vector<t_signal> sigs(vecs.size());
    std::vector<t_signal *> sp;
    for (size_t i = 0; i < vecs.size(); i++) {
        std::memset(&sigs[i], 0, sizeof(t_signal));
        sigs[i].s_n = n;
        sigs[i].s_vec = vecs[i];
        sigs[i].s_sr = g_sr;
        sp.push_back(&sigs[i]);
    }
    size_t before = g_dsp.size();
    auto it = c->methods.find("dsp");
    if (it == c->methods.end()) return {};
    typedef void (*t_dspfn)(t_pd *, t_signal **);
    ((t_dspfn)it->second.fn)(x, sp.data());
    return std::vector<DspCall>(g_dsp.begin() + before, g_dsp.end());
}

void run(const DspCall &c)
{
    std::vector<t_int> w;
    w.push_back(0);
    for (t_int a : c.args) w.push_back(a);
    c.routine(w.data());
}

std::vector<InletInfo> inlets_of(t_object *owner)
{
    std::vector<InletInfo> r;
    for (auto &i : g_inlets)
        if (i->info.owner == owner) r.push_back(i->info);
    return r;
}

std::vector<t_outlet *> outlets_of(t_object *owner)
{
    std::vector<t_outlet *> r;
    for (auto &o : g_outlets)
        if (o->owner == owner) r.push_back(o.get());
    return r;
}

bool outlet_is_signal(t_outlet *o) { return o->is_signal; }

void set_connected(t_outlet *o, bool on) { o->connected = on; }

t_float *main_signal_scalar(t_pd *x)
{
    t_class *c = *x;
    if (c->signal_onset < 0) return nullptr;
    return (t_float *)((char *)x + c->signal_onset);
}

t_atom fa(double f)
{
    t_atom a;
    SETFLOAT(&a, (t_float)f);
    return a;
}

t_atom sa(const char *s)
{
    t_atom a;
    SETSYMBOL(&a, gensym(s));
    return a;
}

}  // namespace stub

// ---------------------------------------------------------------- clocks, arrays
struct _clock {
    void *owner;
    t_method fn;
    bool set;
};

struct _garray {
    t_pd pd;
    std::vector<t_word> words;
    int redraws = 0;
};

namespace {
std::vector<std::unique_ptr<_clock>> g_clocks;
std::map<std::string, std::unique_ptr<_garray>> g_arrays;
t_class g_garray_class_storage;
}  // namespace

extern "C" {

t_class *garray_class = &g_garray_class_storage;

t_clock *clock_new(void *owner, t_method fn)
{
    g_clocks.push_back(std::make_unique<_clock>(_clock{owner, fn, false}));
    return g_clocks.back().get();
}
void clock_delay(t_clock *x, double) { x->set = true; }
void clock_unset(t_clock *x) { x->set = false; }
void clock_free(t_clock *x)
{
    x->set = false;
    x->owner = nullptr;
}

t_pd *pd_findbyclass(t_symbol *s, const t_class *c)
{
    if (c != garray_class) return nullptr;
    auto it = g_arrays.find(s->s_name);
    return it == g_arrays.end() ? nullptr : &it->second->pd;
}

int garray_getfloatwords(t_garray *x, int *size, t_word **vec)
{
    *size = (int)x->words.size();
    *vec = x->words.data();
    return 1;
}
void garray_resize_long(t_garray *x, long n)
{
    t_word zero;
    zero.w_float = 0;
    x->words.resize(n < 1 ? 1 : (size_t)n, zero);
}
void garray_redraw(t_garray *x) { x->redraws++; }

}  // extern "C"

namespace stub {

int run_clocks()
{
    int n = 0;
    for (auto &c : g_clocks)
        if (c->set && c->owner) {
            c->set = false;
            ((void (*)(void *))c->fn)(c->owner);
            n++;
        }
    return n;
}

void make_array(const std::string &name, int size)
{
    auto a = std::make_unique<_garray>();
    a->pd = garray_class;
    t_word zero;
    zero.w_float = 0;
    a->words.assign((size_t)size, zero);
    g_arrays[name] = std::move(a);
}

void remove_array(const std::string &name) { g_arrays.erase(name); }

std::vector<float> array_contents(const std::string &name)
{
    std::vector<float> r;
    auto it = g_arrays.find(name);
    if (it != g_arrays.end())
        for (auto &w : it->second->words) r.push_back(w.w_float);
    return r;
}

int array_redraws(const std::string &name)
{
    auto it = g_arrays.find(name);
    return it == g_arrays.end() ? -1 : it->second->redraws;
}

}  // namespace stub
