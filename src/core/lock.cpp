#include "core/lock.h"

#include "core/error.h"

#include <cassert>
#include <memory>
#include <new>
#include <optional>

namespace tarnik {

const char StackMark::kMainStack = 0;

struct LockWaiter {
    enum class Kind { Thread, Greenlet };

    Kind kind = Kind::Thread;
    ThreadId thread = 0;
    ContainerLock* lock = nullptr;  // what it waits for
    StackExtent stack;              // where it waits, for the deadlock walk
    std::uint32_t generation = 0;   // the fork generation it queued in (queue_)
    LockWaiter* next = nullptr;     // queue_
    bool away = false;              // queue_: running signal handlers
    LockWaiter* next_blocked = nullptr;  // graph_mutex
    bool blocked = false;                // graph_mutex: in the waits-for graph
    platform::Mutex m;
    platform::CondVar cv;  // a thread's
    bool granted = false;  // m
    Ref sleeper;           // a greenlet's cooperative lock, which it sleeps on
};

namespace {

// How often a waiting thread looks for signals (the signal thread), for the
// interpreter's exit and for a holder that is gone; and a waiting greenlet,
// which is woken on its cooperative lock, for what a lost wake-up would hide.
constexpr unsigned kThreadPollMs = 50;
constexpr double kGreenletPollSeconds = 1.0;

std::atomic<unsigned long> signal_thread{0};

// Thread ids, and the threads that took a lock and have not ended.
std::atomic<ThreadId> next_thread_id{2};

struct Registration {
    ThreadId id = 0;
    Registration* prev = nullptr;  // live_mutex
    Registration* next = nullptr;  // live_mutex
    ~Registration();
};
thread_local Registration registration;  // its destructor runs as the thread ends
platform::Mutex live_mutex;
Registration* live_head = nullptr;  // live_mutex

// The waits-for graph: the callers asleep waiting for a lock, each with the
// lock it waits for. Process-wide, as waits cross containers.
platform::Mutex graph_mutex;
LockWaiter* blocked_head = nullptr;  // graph_mutex
std::size_t blocked_count = 0;       // graph_mutex

// Forks: the child handler counts them and notes the thread that forked, so
// that waiters queued before the fork by other threads are known gone.
std::atomic<std::uint32_t> fork_generation{0};
std::atomic<ThreadId> forker{0};

// The lock order, checked in debug builds: queue_ before a waiter's m; the
// graph's and the live list's mutexes alone.
enum Rank : unsigned { kQueue = 1, kWaiter = 2, kGraph = 4, kLive = 8 };
#ifndef NDEBUG
thread_local unsigned held_ranks = 0;
#endif

template <Rank R>
class Held {
public:
    explicit Held(platform::Mutex& m) noexcept : m_(m) {
#ifndef NDEBUG
        const unsigned allowed = R == kWaiter ? unsigned{kQueue} : 0u;
        assert((held_ranks & ~allowed) == 0 && "the lock order");
        held_ranks |= R;
#endif
        m_.lock();
    }
    ~Held() {
        m_.unlock();
#ifndef NDEBUG
        held_ranks &= ~static_cast<unsigned>(R);
#endif
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    platform::Mutex& m_;
};

Registration::~Registration() {
    if (id == 0) return;
    Held<kLive> g(live_mutex);
    if (prev) prev->next = next;
    else if (live_head == this) live_head = next;
    if (next) next->prev = prev;
}

// Whether thread `t`, which took a lock once, has ended (or did not come
// through a fork).
bool gone(ThreadId t) noexcept {
    Held<kLive> g(live_mutex);
    for (Registration* r = live_head; r; r = r->next) {
        if (r->id == t) return false;
    }
    return true;
}

bool interpreter_exiting() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

bool raise_abandoned() {
    return raise_message(PyExc_RuntimeError, "Container is held by another thread while the interpreter exits");
}

// A module the program has imported, or an empty Ref; false with the
// exception set on a failure.
bool loaded_module(const char* name, Ref& out) {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return false;
    out = Ref::steal(PyImport_GetModule(key.get()));
    return out || !PyErr_Occurred();
}

bool call_truth(PyObject* o, const char* method, const char* arg, bool& out) {
    Ref r = Ref::steal(PyObject_CallMethod(o, method, "s", arg));
    if (!r) return false;
    int truth = PyObject_IsTrue(r.get());
    out = truth == 1;
    return truth >= 0;
}

// Whether the program made the thread primitives cooperative, so that a
// greenlet may block on them while the hub runs the others: gevent's or
// eventlet's own report that the thread module is patched.
bool cooperative_program(bool& out) {
    out = false;
    Ref monkey;
    if (!loaded_module("gevent.monkey", monkey)) return false;
    if (monkey) {
        // gevent names the module "_thread" in its record; older releases "thread".
        if (!call_truth(monkey.get(), "is_module_patched", "_thread", out)) return false;
        if (!out && !call_truth(monkey.get(), "is_module_patched", "thread", out)) return false;
        if (out) return true;
    }
    Ref patcher;
    if (!loaded_module("eventlet.patcher", patcher)) return false;
    return !patcher || call_truth(patcher.get(), "is_monkey_patched", "thread", out);
}

// A cooperative lock of the program's thread module, held, so that the next
// acquire() sleeps until someone releases it.
bool new_sleeper(Ref& out) {
    Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
    if (!thread) return false;
    out = Ref::steal(PyObject_CallMethod(thread.get(), "allocate_lock", nullptr));
    return out && Ref::steal(PyObject_CallMethod(out.get(), "acquire", nullptr));
}

}  // namespace

// ---- Threads -------------------------------------------------------------------

ThreadId register_this_thread() noexcept {
    Registration& r = registration;
    ThreadId id = next_thread_id.fetch_add(2, std::memory_order_relaxed);
    {
        Held<kLive> g(live_mutex);
        r.id = id;
        r.prev = nullptr;
        r.next = live_head;
        if (live_head) live_head->prev = &r;
        live_head = &r;
    }
    this_thread.id = id;
    return id;
}

namespace {

// In the child of a fork, from within fork() itself, before any Python code
// runs there: every other thread is gone. Only stores: the child may be one
// that never runs Python code, forked while other threads of the parent were
// changing this state. Each lock finds out about its gone holder or waiters
// when it is next used.
void after_fork_in_child() noexcept {
    fork_generation.store(fork_generation.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    forker.store(this_thread.id, std::memory_order_relaxed);
    signal_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
    // Another thread may have held these mutexes at the fork: made anew.
    new (&graph_mutex) platform::Mutex();
    blocked_head = nullptr;
    blocked_count = 0;
    new (&live_mutex) platform::Mutex();
    live_head = nullptr;
    if (this_thread.id != 0) {
        registration.prev = registration.next = nullptr;
        live_head = &registration;
    }
}

}  // namespace

bool ContainerLock::watch_process() {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!threading) return false;
    Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return false;
    Ref ident = Ref::steal(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return false;
    unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
    if (main_ident == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    signal_thread.store(main_ident, std::memory_order_relaxed);
    static const bool hooked = (platform::at_fork(nullptr, nullptr, after_fork_in_child), true);
    return hooked;
}

// ---- Places on Python stacks -------------------------------------------------------

StackExtent StackExtent::here() noexcept {
    StackExtent e;
    PyThreadState* ts = thread_state();
#if PY_VERSION_HEX >= 0x030B0000
    e.top = ts->datastack_top;
    e.chunk = ts->datastack_chunk;
#else
    e.top = ts->frame;
#endif
    return e;
}

bool StackExtent::with_greenlet() {
    knows_greenlet = true;
    Ref module;
    if (!loaded_module("greenlet", module)) return false;
    if (!module) return true;  // no greenlet was ever made: this is the thread's first stack
    greenlet = Ref::steal(PyObject_CallMethod(module.get(), "getcurrent", nullptr));
    if (!greenlet) return false;
    Ref parent = Ref::steal(PyObject_GetAttrString(greenlet.get(), "parent"));
    if (!parent) return false;
    main = parent.get() == Py_None;
    return true;
}

bool StackExtent::holds(const StackMark& mark) const noexcept {
    if (!mark.top) {
        if (!mark.greenlet) return false;
        assert(knows_greenlet);
        return mark.greenlet == StackMark::main_stack() ? main : greenlet.get() == mark.greenlet;
    }
    if (!top) return false;
#if PY_VERSION_HEX >= 0x030B0000
    // Frames live in chunks chained from the newest; the mark is in one of
    // this stack's chunks, below the top when in the newest one.
    auto at = static_cast<PyObject* const*>(mark.top);
    auto newest = static_cast<const _PyStackChunk*>(chunk);
    for (const _PyStackChunk* c = newest; c; c = c->previous) {
        auto end = reinterpret_cast<PyObject* const*>(reinterpret_cast<const char*>(c) + c->size);
        if (at >= c->data && at <= end) return c != newest || at <= static_cast<PyObject* const*>(top);
    }
    return false;
#else
    for (auto f = static_cast<const PyFrameObject*>(top); f; f = f->f_back) {
        if (f == mark.top) return true;
    }
    return false;
#endif
}

// ---- Taking ----------------------------------------------------------------------

ContainerLock::Outcome ContainerLock::take_without_frame(ThreadId me) {
    StackExtent here = StackExtent::here();
    if (!here.with_greenlet()) return Outcome::Failed;
    StackMark mark{nullptr, here.main ? StackMark::main_stack() : here.greenlet.get()};
    return take_free(me) ? took(mark, false) : take_slow(me, mark);
}

ContainerLock::Outcome ContainerLock::take_slow(ThreadId me, StackMark mark) {
    StackExtent here = StackExtent::here();
    if (owner_.load(std::memory_order_acquire) == Owner::held_by(me)) {
        // This thread holds it: on this stack, further down, or on another.
        StackMark held = this->mark();
        if (!held.top && held.greenlet && !here.knows_greenlet && !here.with_greenlet()) return Outcome::Failed;
        if (here.holds(held)) return Outcome::Nested;
        return wait_as_greenlet(me, mark, std::move(here));
    }
    return wait_as_thread(me, mark, std::move(here));
}

ContainerLock::Outcome ContainerLock::took(StackMark mark, bool over) noexcept {
    mark_top_.store(mark.top, std::memory_order_relaxed);
    mark_greenlet_.store(mark.greenlet, std::memory_order_relaxed);
    ++this_thread.holds;
    over = over || taken_over_;
    taken_over_ = false;
    return over ? Outcome::TakenOver : Outcome::Taken;
}

ContainerLock::Outcome ContainerLock::wait_as_thread(ThreadId me, const StackMark& mark, StackExtent here) {
    // The deadlock walk tells places without frames apart by greenlet.
    if (!here.knows_greenlet && !here.with_greenlet()) return Outcome::Failed;
    // The waiter of the thread that runs signal handlers keeps its place
    // while they run, and they may switch this thread to another stack (a
    // greenlet), which would overwrite one on the native stack: it goes on
    // the heap.
    const bool poll = PyThread_get_thread_ident() == signal_thread.load(std::memory_order_relaxed);
    std::unique_ptr<LockWaiter> owned;
    std::optional<LockWaiter> local;
    LockWaiter& w = poll ? *(owned = std::make_unique<LockWaiter>()) : local.emplace();
    w.thread = me;
    w.lock = this;
    w.stack = std::move(here);
    {
        Held<kQueue> g(queue_);
        enqueue(&w);
        if (claim(&w)) return took(mark, false);  // freed since the first look
    }
    for (;;) {
        if (!blocks(w)) {
            Ref wake;
            {
                Held<kQueue> g(queue_);
                {
                    Held<kWaiter> g2(w.m);
                    if (w.granted) return took(mark, false);
                }
                wake = grant(leave_queue(&w));
            }
            raise_deadlock();
            wake_keeping_error(std::move(wake));
            return Outcome::Failed;
        }
        Wake wake = sleep_detached(w, poll);
        if (wake == Wake::Granted) return took(mark, false);
        if (wake == Wake::Exiting) {
            raise_abandoned();
            return Outcome::Failed;
        }
        if (take_over_gone(w)) return took(mark, true);
        if (!poll) continue;
        // Away from its place, which it keeps, while signal handlers run: one
        // that calls this container takes the lock kept for this thread, or
        // waits behind and is served first.
        {
            Held<kQueue> g(queue_);
            {
                Held<kWaiter> g2(w.m);
                if (w.granted) return took(mark, false);
            }
            w.away = true;
            std::uint64_t expected = Owner::kFree;
            if (head_.load(std::memory_order_relaxed) == &w)
                owner_.compare_exchange_strong(expected, Owner::kept_for(me), std::memory_order_seq_cst);
        }
        const bool raised = PyErr_CheckSignals() < 0;
        Ref handed;
        {
            Held<kQueue> g(queue_);
            w.away = false;
            if (!raised && claim(&w)) return took(mark, false);
            if (raised) handed = grant(leave_queue(&w));
        }
        if (raised) {
            wake_keeping_error(std::move(handed));
            return Outcome::Failed;  // the handler's exception
        }
    }
}

ContainerLock::Outcome ContainerLock::wait_as_greenlet(ThreadId me, const StackMark& mark, StackExtent here) {
    bool cooperative = false;
    if (!cooperative_program(cooperative)) return Outcome::Failed;
    if (!cooperative) {
        raise_other_stack();
        return Outcome::Failed;
    }
    if (!here.knows_greenlet && !here.with_greenlet()) return Outcome::Failed;
    // On the heap: the hub switches this stack out while it waits.
    auto w = std::make_unique<LockWaiter>();
    w->kind = LockWaiter::Kind::Greenlet;
    w->thread = me;
    w->lock = this;
    w->stack = std::move(here);
    if (!new_sleeper(w->sleeper)) return Outcome::Failed;
    {
        Held<kQueue> g(queue_);
        enqueue(w.get());
        if (claim(w.get())) return took(mark, false);  // let go while Python code ran above
    }
    bool failed = !blocks(*w);
    bool over = false;
    if (failed) {
        Held<kWaiter> g(w->m);
        if (w->granted) return took(mark, false);  // given it meanwhile: no cycle any more
        raise_deadlock();
    }
    while (!failed) {
        const bool woke = bool(Ref::steal(
            PyObject_CallMethod(w->sleeper.get(), "acquire", "Od", Py_True, kGreenletPollSeconds)));
        bool granted;
        {
            Held<kWaiter> g(w->m);
            granted = w->granted;
        }
        if (!woke) failed = true;  // raised while it slept: given the lock or not, it leaves
        else if (granted) break;
        else if (interpreter_exiting()) failed = !raise_abandoned();
        else if ((over = take_over_gone(*w))) break;
    }
    unblocks(*w);
    if (!failed) return took(mark, over);
    // Leaving with the exception: a lock given meanwhile goes on to the next.
    Ref wake;
    {
        Held<kQueue> g(queue_);
        bool granted;
        {
            Held<kWaiter> g2(w->m);
            granted = w->granted;
        }
        wake = grant(granted ? pass_on() : leave_queue(w.get()));
    }
    wake_keeping_error(std::move(wake));
    return Outcome::Failed;
}

// Wakes a greenlet given the lock while this call fails: the call's own
// exception goes on, whatever the wake-up raises.
void ContainerLock::wake_keeping_error(Ref sleeper) {
    if (!sleeper) return;
    ErrorIndicatorGuard keep;
    if (!wake(std::move(sleeper))) PyErr_Clear();
}

// Waits detached until `w` is granted the lock, the interpreter exits (the
// holder may then be a thread that can never run again: `w` leaves the
// queue), the holder is found gone, or, with `poll`, a while has passed;
// then leaves the waits-for graph and attaches again.
ContainerLock::Wake ContainerLock::sleep_detached(LockWaiter& w, bool poll) {
    PyThreadState* saved = PyEval_SaveThread();
    Wake wake = Wake::Granted;
    for (;;) {
        {
            Held<kWaiter> g(w.m);
            if (w.granted) break;
            if (!w.cv.wait_for(w.m, kThreadPollMs) || w.granted) continue;  // woken, or spuriously
        }
        // A while has passed.
        if (interpreter_exiting()) {
            wake = Wake::Exiting;
            break;
        }
        std::uint64_t owner = owner_.load(std::memory_order_acquire);
        if (poll || (owner != Owner::kFree && gone(Owner::thread(owner)))) {
            wake = Wake::Poll;
            break;
        }
    }
    // Out of the graph before the interpreter is taken back, which may end
    // this thread at exit (its waiter then goes with it).
    unblocks(w);
    if (wake == Wake::Exiting) {
        Held<kQueue> g(queue_);
        Held<kWaiter> g2(w.m);
        if (w.granted) wake = Wake::Granted;
        else grant(leave_queue(&w));  // detached: a greenlet given the lock polls
    }
    // Taking the interpreter back may end this thread when the interpreter
    // exits (a forced unwind): the lock, ours by then, goes on to the next
    // waiter, or `w` leaves the queue.
    struct OnUnwind {
        ContainerLock* lock;
        LockWaiter* w;
        ~OnUnwind() {
            if (lock) lock->drop_waiter_detached(*w);
        }
    } on_unwind{wake == Wake::Exiting ? nullptr : this, &w};
    PyEval_RestoreThread(saved);
    on_unwind.lock = nullptr;
    return wake;
}

void ContainerLock::drop_waiter_detached(LockWaiter& w) noexcept {
    unblocks(w);
    Held<kQueue> g(queue_);
    bool granted = false;
    {
        Held<kWaiter> g2(w.m);
        granted = w.granted;
    }
    grant(granted ? pass_on() : leave_queue(&w));
}

// When the lock's holder is a thread that has ended (or did not come through
// a fork), its operation can never finish: the lock goes to the oldest
// waiter as if released, and whoever holds it next forgets that operation.
// True when that is `w`.
bool ContainerLock::take_over_gone(LockWaiter& w) {
    std::uint64_t owner = owner_.load(std::memory_order_acquire);
    if (owner == Owner::kFree || !gone(Owner::thread(owner))) return false;
    Ref wake;
    {
        Held<kQueue> g(queue_);
        if (owner_.load(std::memory_order_relaxed) == owner) {
            taken_over_ = true;
            LockWaiter* to = pass_on();
            if (to == &w) {
                Held<kWaiter> g2(w.m);
                w.granted = true;
            } else {
                wake = grant(to);
            }
        }
    }
    {
        ErrorIndicatorGuard keep;
        if (!ContainerLock::wake(std::move(wake))) PyErr_Clear();  // that greenlet polls too
    }
    Held<kWaiter> g(w.m);
    return w.granted;
}

// Joins the waits-for graph as waiting for this lock, unless that closes a
// cycle: from this lock's holder to the lock that holder waits for, and on,
// the chain comes back to `w`'s own stack. A holder is found among the
// waiters by its thread and its place: the waiter of its thread whose stack
// holds the lock's mark (a blocked stack changes nothing, so the locks it
// holds stay held). A lock kept for a thread belongs to its waiter that is
// away, below whatever that thread's handlers wait for.
bool ContainerLock::blocks(LockWaiter& w) {
    Held<kGraph> g(graph_mutex);
    ContainerLock* l = this;
    for (std::size_t steps = 0; steps <= blocked_count; ++steps) {
        std::uint64_t owner = l->owner_.load(std::memory_order_seq_cst);
        if (owner == Owner::kFree) break;
        ThreadId thread = Owner::thread(owner);
        const bool kept = Owner::kept(owner);
        StackMark held = l->mark();
        if (thread == w.thread && (kept || w.stack.holds(held))) {
            if (kept) break;  // kept for this very thread: it takes it
            return false;
        }
        LockWaiter* b = blocked_head;
        while (b && !(b->thread == thread && (kept || b->stack.holds(held)))) b = b->next_blocked;
        if (!b) break;  // that holder runs: it will release
        l = b->lock;
    }
    w.next_blocked = blocked_head;
    blocked_head = &w;
    ++blocked_count;
    w.blocked = true;
    return true;
}

void ContainerLock::unblocks(LockWaiter& w) noexcept {
    Held<kGraph> g(graph_mutex);
    if (!w.blocked) return;
    LockWaiter** link = &blocked_head;
    while (*link != &w) link = &(*link)->next_blocked;
    *link = w.next_blocked;
    --blocked_count;
    w.blocked = false;
}

// ---- The queue ----------------------------------------------------------------------

void ContainerLock::enqueue(LockWaiter* w) noexcept {
    w->generation = fork_generation.load(std::memory_order_relaxed);
    w->next = nullptr;
    if (tail_) tail_->next = w;
    else head_.store(w, std::memory_order_seq_cst);
    tail_ = w;
}

// Takes the lock for `w` when it is free with `w` first in line, or kept for
// `w`'s thread.
bool ContainerLock::claim(LockWaiter* w) noexcept {
    std::uint64_t owner = owner_.load(std::memory_order_seq_cst);
    bool ours = (owner == Owner::kFree && head_.load(std::memory_order_relaxed) == w) ||
                owner == Owner::kept_for(w->thread);
    if (!ours || !owner_.compare_exchange_strong(owner, Owner::held_by(w->thread), std::memory_order_seq_cst))
        return false;
    unlink(w);
    return true;
}

// Takes `w` out of the queue; when the lock was kept for `w`'s thread, it
// goes on: the waiter it went to comes back, to be granted.
LockWaiter* ContainerLock::leave_queue(LockWaiter* w) noexcept {
    unlink(w);
    if (owner_.load(std::memory_order_relaxed) == Owner::kept_for(w->thread)) return pass_on();
    return nullptr;
}

void ContainerLock::unlink(LockWaiter* w) noexcept {
    LockWaiter* prev = nullptr;
    for (LockWaiter* it = head_.load(std::memory_order_relaxed); it != w; it = it->next) prev = it;
    if (prev) prev->next = w->next;
    else head_.store(w->next, std::memory_order_seq_cst);
    if (tail_ == w) tail_ = prev;
    w->next = nullptr;
}

// The lock goes to the first waiter that is not away, which is returned,
// unlinked, for grant(). One that is away keeps its place: the lock goes to a
// call of its own thread's waiting behind it (made by its signal handlers),
// or else is kept for it. Waiters that another thread queued before the last
// fork are gone with their threads, and are passed over.
LockWaiter* ContainerLock::pass_on() noexcept {
    mark_top_.store(nullptr, std::memory_order_relaxed);
    mark_greenlet_.store(nullptr, std::memory_order_relaxed);
    const std::uint32_t generation = fork_generation.load(std::memory_order_relaxed);
    for (LockWaiter* first; (first = head_.load(std::memory_order_relaxed)) && first->generation != generation &&
                            first->thread != forker.load(std::memory_order_relaxed);)
        unlink(first);
    LockWaiter* first = head_.load(std::memory_order_relaxed);
    if (!first) {
        owner_.store(Owner::kFree, std::memory_order_seq_cst);
        return nullptr;
    }
    LockWaiter* to = first;
    if (first->away) {
        do to = to->next;
        while (to && (to->thread != first->thread || to->away));
        if (!to) {
            owner_.store(Owner::kept_for(first->thread), std::memory_order_seq_cst);
            return nullptr;
        }
    }
    owner_.store(Owner::held_by(to->thread), std::memory_order_seq_cst);
    unlink(to);
    return to;
}

// Tells a waiter that pass_on() chose that it holds the lock; holds its
// mutex while it signals, since the waiter may go at once after. A
// greenlet's cooperative lock comes back, to be released by the caller once
// it lets go of the queue (Python code). Called attached, but for the forced
// unwind at exit, where a greenlet finds out when it polls.
Ref ContainerLock::grant(LockWaiter* w) noexcept {
    if (!w) return Ref();
    Held<kWaiter> g(w->m);
    w->granted = true;
    if (w->kind == LockWaiter::Kind::Thread) {
        w->cv.notify_one();
        return Ref();
    }
    return python_usable() ? w->sleeper.new_ref() : Ref();
}

bool ContainerLock::try_take() noexcept {
    std::uint64_t expected = Owner::kFree;
    ThreadId me = this_thread.id;
    if (me == 0 || head_.load(std::memory_order_seq_cst) != nullptr ||
        !owner_.compare_exchange_strong(expected, Owner::held_by(me), std::memory_order_acquire))
        return false;
    ++this_thread.holds;
    return true;
}

// ---- Releasing -----------------------------------------------------------------------

Ref ContainerLock::release_slow() noexcept {
#ifdef Py_GIL_DISABLED
    // The deadlock walk of another thread may read the mark meanwhile.
    mark_top_.store(nullptr, std::memory_order_relaxed);
    mark_greenlet_.store(nullptr, std::memory_order_relaxed);
    if (head_.load(std::memory_order_seq_cst) == nullptr) {
        owner_.store(Owner::kFree, std::memory_order_seq_cst);
        // A caller that queued meanwhile either saw the lock free and took
        // it, or is seen here and gets it below.
        if (head_.load(std::memory_order_seq_cst) == nullptr) return Ref();
        Held<kQueue> g(queue_);
        LockWaiter* first = head_.load(std::memory_order_relaxed);
        std::uint64_t expected = Owner::kFree;
        // Held for the moment by the first waiter's mark, then passed on.
        if (first && owner_.compare_exchange_strong(expected, Owner::kept_for(first->thread), std::memory_order_seq_cst))
            return grant(pass_on());
        return Ref();
    }
#endif
    Held<kQueue> g(queue_);
    return grant(pass_on());
}

void ContainerLock::release_detached() noexcept {
    --this_thread.holds;
    Held<kQueue> g(queue_);
    grant(pass_on());  // a greenlet given the lock finds out when it polls
}

bool ContainerLock::wake(Ref sleeper) {
    if (!sleeper) return true;
    if (Ref::steal(PyObject_CallMethod(sleeper.get(), "release", nullptr))) return true;
    if (!ordinary_failure_pending()) return false;
    PyErr_Clear();  // the greenlet finds out when it polls
    return true;
}

}  // namespace tarnik
