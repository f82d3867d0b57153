#include "plan.h"

#include "call.h"
#include "keymap.h"
#include "registry.h"
#include "resolve.h"
#include "smallvec.h"

namespace tarnik {

namespace {

// A key's visit state: on the current path, or finished with its place in
// the order.
struct VisitMark {
    enum State : std::uint8_t { InProgress, Done } state;
    std::uint32_t index;
};

struct PlanNode {
    KeyView key;
    Provider* provider;
    std::uint32_t args_begin;  // into Plan::args
    std::uint32_t nargs;
};

struct Plan {
    std::vector<PlanNode> order;
    std::vector<std::uint32_t> args;  // order indices of each node's dependencies
};

// Depth-first walk over the dependency graph of the requested keys. The walk
// keeps its path in heap frames. Checks per key, in this order: a cycle, a
// missing provider, an asynchronous provider, then the dependencies in
// `dep_keys` order.
class Compiler {
public:
    Compiler(ContainerInner& st, Plan& plan) : st_(st), plan_(plan) {}

    // Visits one requested key; returns its place in the order.
    Result<std::uint32_t> visit(KeyView root) {
        if (VisitMark* m = marks_.find(root)) {
            if (m->state == VisitMark::Done) return m->index;
            return cycle_error(root);
        }
        if (auto err = begin(root)) return std::move(*err);
        while (!path_.empty()) {
            Step& top = path_.back();
            const std::vector<Key>& deps = top.provider->meta.dep_keys;
            if (top.next_dep < deps.size()) {
                KeyView dep = deps[top.next_dep++].view();
                if (VisitMark* m = marks_.find(dep)) {
                    if (m->state == VisitMark::InProgress) return cycle_error(dep);
                    pending_.push_back(m->index);
                    continue;
                }
                if (auto err = begin(dep)) return std::move(*err);
                continue;
            }
            finish(top);
        }
        return done_index_;
    }

private:
    struct Step {
        KeyView key;
        Provider* provider;
        std::size_t next_dep;
        std::size_t pending_base;  // where this key's dependency indices start
    };

    std::optional<Error> begin(KeyView key) {
        marks_.find_or_insert(key, [] { return VisitMark{VisitMark::InProgress, 0}; });
        Provider* p = find_provider(st_, key);
        if (!p) return missing_provider_error(key);
        if (p->meta.is_async) return async_provider_error(key);
        path_.push_back(Step{key, p, 0, pending_.size()});
        return std::nullopt;
    }

    void finish(const Step& step) {
        auto index = static_cast<std::uint32_t>(plan_.order.size());
        auto args_begin = static_cast<std::uint32_t>(plan_.args.size());
        auto nargs = static_cast<std::uint32_t>(pending_.size() - step.pending_base);
        plan_.args.insert(plan_.args.end(), pending_.begin() + step.pending_base, pending_.end());
        pending_.resize(step.pending_base);
        plan_.order.push_back(PlanNode{step.key, step.provider, args_begin, nargs});
        VisitMark* m = marks_.find(step.key);
        m->state = VisitMark::Done;
        m->index = index;
        path_.pop_back();
        if (!path_.empty()) pending_.push_back(index);
        done_index_ = index;
    }

    ContainerInner& st_;
    Plan& plan_;
    KeyMap<KeyView, VisitMark> marks_;
    std::vector<Step> path_;
    std::vector<std::uint32_t> pending_;  // finished dependencies of the keys on the path
    std::uint32_t done_index_ = 0;
};

}  // namespace

Status resolve_many_plan(ContainerInner& st, const KeyView* keys, std::size_t n, PlanValues& out, Trash& trash) {
    // Compilation: nothing runs before the whole request has been checked.
    Plan plan;
    {
        Compiler compiler(st, plan);
        out.requested.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            Result<std::uint32_t> r = compiler.visit(keys[i]);
            if (!r.ok()) return std::move(r.error());
            out.requested.push_back(r.value());
        }
    }

    // Execution, in the order of the plan.
    out.values.resize(plan.order.size());
    SmallVec<PyObject*, 8> args;
    for (std::size_t i = 0; i < plan.order.size(); ++i) {
        const PlanNode& node = plan.order[i];
        Provider* p = node.provider;
        if (p->meta.singleton && p->cached) {
            out.values[i] = p->cached.new_ref();
            continue;
        }
        args.clear();
        for (std::uint32_t a = 0; a < node.nargs; ++a) args.push_back(out.values[plan.args[node.args_begin + a]].get());
        Result<Ref> made = call_provider(p->callable.get(), args.begin(), args.size());
        if (!made.ok()) return std::move(made.error());
        if (p->meta.singleton) store_singleton(st, node.key, made.value().get(), trash);
        out.values[i] = std::move(made.value());
    }

    // Assembly guard: every requested key must have a value by now.
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t at = out.requested[i];
        if (at >= out.values.size() || !out.values[at]) return plan_missing_error(keys[i]);
    }
    return Unit{};
}

}  // namespace tarnik
