#include "core/plan.h"

#include "core/cache.h"
#include "core/call.h"
#include "core/error.h"

namespace tarnik {

namespace {

struct PlanNode {
    KeySlot* key;
    Provider* provider;
    std::uint32_t args_begin;  // into Plan::args
    std::uint32_t nargs;
};

struct Plan {
    SmallVec<PlanNode, 16> order;
    SmallVec<std::uint32_t, 32> args;  // order indices of each node's dependencies
};

// Depth-first walk over the dependency graph of the requested keys, with its
// path in heap frames. Checks per key, in this order: a cycle, a key already
// in the order, a missing provider, an asynchronous provider, then the
// dependencies in `dep_keys` order. The marks live on the keys' slots: a key
// on the path (or in progress in an enclosing resolution on this thread) is
// marked in progress, and a key in the order carries its place under this
// compilation's number. No Python code may run during compilation (a nested
// compilation would take over the slots' marks), so a failure is only
// recorded here and raised once the compiler is gone.
class Compiler {
public:
    Compiler(ContainerState& st, Plan& plan) noexcept : st_(st), plan_(plan), seq_(st.next_plan_seq()) {}
    Compiler(const Compiler&) = delete;
    Compiler& operator=(const Compiler&) = delete;
    ~Compiler() {
        for (Step& s : path_) s.key->in_progress = false;
    }

    enum class Failure { None, Missing, Cycle, Async, TooLarge };

    // Visits one requested key and gives its place in the order; false on
    // the first failure, which failure() then tells.
    bool visit(PyObject* text, KeySlot* root, std::uint32_t& index) {
        if (!root) return fail(Failure::Missing, text);
        if (root->in_progress) return fail(Failure::Cycle, root->text.get());
        if (root->plan_seq == seq_) {
            index = root->plan_place;
            return true;
        }
        if (!begin(*root)) return false;
        while (!path_.empty()) {
            Step& top = path_.back();
            if (top.next_dep == top.provider->ndeps) {
                finish();
                continue;
            }
            KeySlot& dep = *top.provider->deps()[top.next_dep++];
            if (dep.in_progress) return fail(Failure::Cycle, dep.text.get());
            if (dep.plan_seq == seq_) {
                plan_.args[top.args_begin + top.next_dep - 1] = dep.plan_place;
                continue;
            }
            if (!begin(dep)) return false;
        }
        index = root->plan_place;
        return true;
    }

    // Raises the recorded failure; the marks are gone by then. `key` is
    // borrowed from a slot or from the request, both alive for the call.
    static bool raise(Failure f, PyObject* key) {
        switch (f) {
            case Failure::Missing:
                return raise_missing_provider(key);
            case Failure::Cycle:
                return raise_cycle(key);
            case Failure::TooLarge:
                return raise_too_large("steps in one plan");
            case Failure::Async:
            default:
                return raise_async_provider(key);
        }
    }
    Failure failure() const noexcept { return failure_; }
    PyObject* failed_key() const noexcept { return failed_key_; }

private:
    struct Step {
        KeySlot* key;
        Provider* provider;
        std::uint32_t next_dep;    // into the provider's dependency list
        std::uint32_t args_begin;  // where the order indices of its dependencies go
    };

    bool fail(Failure f, PyObject* key) noexcept {
        failure_ = f;
        failed_key_ = key;
        return false;
    }

    bool begin(KeySlot& k) {
        Provider* p = st_.in_force(k);
        if (!p) return fail(Failure::Missing, k.text.get());
        if (p->is_async) return fail(Failure::Async, k.text.get());
        // The key's dependencies get their places in `args` now, filled in
        // as each of them is found in the order or finishes.
        std::size_t args_begin = plan_.args.size();
        // Both counts stay below 2**32: order indices and argument places
        // are 32-bit.
        if (args_begin + p->ndeps + plan_.order.size() >= UINT32_MAX - 1) return fail(Failure::TooLarge, nullptr);
        plan_.args.reserve_more(p->ndeps);
        plan_.args.resize_reserved(args_begin + p->ndeps);
        path_.push_back(Step{&k, p, 0, static_cast<std::uint32_t>(args_begin)});
        k.in_progress = true;
        return true;
    }

    void finish() {
        const Step& step = path_.back();
        std::size_t index = plan_.order.size();
        plan_.order.push_back(PlanNode{step.key, step.provider, step.args_begin, step.provider->ndeps});
        step.key->in_progress = false;
        step.key->plan_place = static_cast<std::uint32_t>(index);
        step.key->plan_seq = seq_;
        path_.pop_back();
        if (!path_.empty()) {
            const Step& parent = path_.back();
            plan_.args[parent.args_begin + parent.next_dep - 1] = static_cast<std::uint32_t>(index);
        }
    }

    ContainerState& st_;
    Plan& plan_;
    SmallVec<Step, 16> path_;
    std::uint16_t seq_;
    Failure failure_ = Failure::None;
    PyObject* failed_key_ = nullptr;
};

}  // namespace

bool resolve_many_plan(ContainerState& st, const KeyList& keys, PlanValues& out, Trash& trash) {
    // Compilation: nothing runs before the whole request has been checked.
    Plan plan;
    Compiler::Failure failure = Compiler::Failure::None;
    PyObject* failed_key = nullptr;
    {
        Compiler compiler(st, plan);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            PyObject* key = keys[i];
            std::uint32_t index = 0;
            if (!compiler.visit(key, st.keys.find(key, str_hash(key)), index)) {
                failure = compiler.failure();
                failed_key = compiler.failed_key();
                break;
            }
            out.requested.push_back(index);
        }
    }
    if (failure != Compiler::Failure::None) return Compiler::raise(failure, failed_key);

    // Execution, in the order of the plan; the value of the i-th key of the
    // order is the i-th value.
    out.values.reserve(plan.order.size());
    PyObject* few[8];  // the arguments of most providers
    SmallVec<PyObject*, 1> many;
    for (std::size_t i = 0; i < plan.order.size(); ++i) {
        const PlanNode& node = plan.order[i];
        Provider* p = node.provider;
        // Checked now, not at compilation: a nested call from an earlier
        // provider may have stored this value.
        if (p->serves_held_value()) {
            out.values.push_reserved(p->cached.new_ref());
            continue;
        }
        PyObject** argv = few;
        if (node.nargs > 8) {
            many.clear();
            many.reserve_more(node.nargs);
            argv = many.begin();
        }
        const std::uint32_t* from = &plan.args[node.args_begin];
        for (std::uint32_t a = 0; a < node.nargs; ++a) argv[a] = out.values[from[a]];
        Ref made;
        {
            InProgress building(*node.key);  // for nested calls
            made = call_provider(p->callable.get(), argv, node.nargs);
        }
        if (!made) return false;
        if (p->singleton) store_singleton(st, *node.key, made.get(), trash);
        out.values.push_reserved(std::move(made));
    }

    // Assembly guard: every requested key must have a value by now.
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (out.requested[i] >= out.values.size()) return raise_plan_missing(keys[i]);
    }
    return true;
}

}  // namespace tarnik
