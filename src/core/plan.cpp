#include "plan.h"

#include "call.h"
#include "keymap.h"
#include "registry.h"
#include "resolve.h"

#include <memory>

namespace tarnik {

namespace {

struct PlanNode {
    KeyView key;
    Provider* provider;
    std::uint32_t args_begin;  // into Plan::args
    std::uint32_t nargs;
};

struct Plan {
    SmallVec<PlanNode, 16> order;
    SmallVec<std::uint32_t, 32> args;  // order indices of each node's dependencies
};

// A key's visit state: on the current path, or finished at a place in the
// order.
struct VisitMark {
    enum State : std::uint8_t { InProgress, Done } state;
    std::uint32_t index;
};

// Depth-first walk over the dependency graph of the requested keys, with its
// path in heap frames. Checks per key, in this order: a cycle, a missing
// provider, an asynchronous provider, then the dependencies in `dep_keys`
// order.
class Compiler {
public:
    Compiler(ContainerInner& st, Plan& plan) : st_(st), plan_(plan) {}

    // Visits one requested key and gives its place in the order; false
    // with error() set on the first failure.
    bool visit(const KeyView& root, std::uint32_t& index) {
        VisitMark m;
        if (find_mark(root, m)) {
            if (m.state == VisitMark::Done) {
                index = m.index;
                return true;
            }
            return fail(cycle_error(root));
        }
        if (!begin(root, find_provider(st_, root))) return false;
        while (!path_.empty()) {
            Step& top = path_.back();
            if (top.next_dep != top.end_dep) {
                const DepKey& dep_key = *top.next_dep++;
                KeyView dep = dep_key.view();
                if (find_mark(dep, m)) {
                    if (m.state == VisitMark::InProgress) return fail(cycle_error(dep));
                    pending_.push_back(m.index);
                    continue;
                }
                if (!begin(dep, find_dep_provider(st_, dep_key))) return false;
                continue;
            }
            finish();
        }
        index = static_cast<std::uint32_t>(plan_.order.size() - 1);  // the root finished last
        return true;
    }

    Error& error() noexcept { return *error_; }

private:
    struct Step {
        KeyView key;
        Provider* provider;
        const DepKey* next_dep;  // into the provider's dep_keys
        const DepKey* end_dep;
        std::size_t pending_base;  // where this key's dependency indices start
    };

    // Small plans find marks by scanning the path and the order; larger ones
    // keep them in a hash map.
    static constexpr std::size_t kScanLimit = 32;

    static std::uint64_t hash_bit(const KeyView& key) noexcept {
        return std::uint64_t{1} << (static_cast<std::uint64_t>(key.hash) >> 58);
    }

    bool find_mark(const KeyView& key, VisitMark& out) {
        if (marks_) {
            VisitMark* m = marks_->find(key);
            if (m) out = *m;
            return m != nullptr;
        }
        // A key whose hash bit is clear was never visited: no scan needed.
        if (!(visited_bits_ & hash_bit(key))) return false;
        for (std::size_t i = 0; i < path_.size(); ++i) {
            if (path_[i].key == key) {
                out = VisitMark{VisitMark::InProgress, 0};
                return true;
            }
        }
        for (std::size_t i = 0; i < plan_.order.size(); ++i) {
            if (plan_.order[i].key == key) {
                out = VisitMark{VisitMark::Done, static_cast<std::uint32_t>(i)};
                return true;
            }
        }
        return false;
    }

    void set_mark(const KeyView& key, VisitMark::State state, std::uint32_t index) {
        // Small plans keep no marks of their own: the path and the order are them.
        if (!marks_ && path_.size() + plan_.order.size() < kScanLimit) return;
        set_mark_in_map(key, VisitMark{state, index});
    }

    void set_mark_in_map(const KeyView& key, VisitMark mark) {
        if (!marks_) {
            marks_ = std::make_unique<KeyMap<KeyView, VisitMark>>();
            for (const Step& s : path_) marks_->find_or_insert(s.key, [] { return VisitMark{VisitMark::InProgress, 0}; });
            for (std::size_t i = 0; i < plan_.order.size(); ++i) {
                std::uint32_t at = static_cast<std::uint32_t>(i);
                marks_->find_or_insert(plan_.order[i].key, [at] { return VisitMark{VisitMark::Done, at}; });
            }
        }
        *marks_->find_or_insert(key, [mark] { return mark; }).first = mark;
    }

    bool fail(Error e) {
        error_.emplace(std::move(e));
        return false;
    }

    // Marks `key` as on the path; `p` is its entry in force.
    bool begin(const KeyView& key, Provider* p) {
        visited_bits_ |= hash_bit(key);
        set_mark(key, VisitMark::InProgress, 0);
        if (!p) return fail(missing_provider_error(key));
        if (p->meta.is_async) return fail(async_provider_error(key));
        const std::vector<DepKey>& deps = p->meta.dep_keys;
        path_.push_back(Step{key, p, deps.data(), deps.data() + deps.size(), pending_.size()});
        return true;
    }

    void finish() {
        Step step = path_.back();
        auto index = static_cast<std::uint32_t>(plan_.order.size());
        auto args_begin = static_cast<std::uint32_t>(plan_.args.size());
        auto nargs = static_cast<std::uint32_t>(pending_.size() - step.pending_base);
        for (std::size_t i = step.pending_base; i < pending_.size(); ++i) plan_.args.push_back(pending_[i]);
        pending_.resize(step.pending_base);
        path_.pop_back();
        plan_.order.push_back(PlanNode{step.key, step.provider, args_begin, nargs});
        set_mark(step.key, VisitMark::Done, index);
        if (!path_.empty()) pending_.push_back(index);
    }

    ContainerInner& st_;
    Plan& plan_;
    std::unique_ptr<KeyMap<KeyView, VisitMark>> marks_;
    SmallVec<Step, 16> path_;
    SmallVec<std::uint32_t, 32> pending_;  // finished dependencies of the keys on the path
    std::uint64_t visited_bits_ = 0;  // one bit per visited key, from its hash
    std::optional<Error> error_;
};

}  // namespace

Status resolve_many_plan(ContainerInner& st, const KeyView* keys, std::size_t n, PlanValues& out, Trash& trash) {
    // Compilation: nothing runs before the whole request has been checked.
    Plan plan;
    {
        Compiler compiler(st, plan);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint32_t index = 0;
            if (!compiler.visit(keys[i], index)) return std::move(compiler.error());
            out.requested.push_back(index);
        }
    }

    // Execution, in the order of the plan; the value of the i-th key of the
    // order is the i-th value.
    SmallVec<PyObject*, 8> args;
    for (std::size_t i = 0; i < plan.order.size(); ++i) {
        const PlanNode& node = plan.order[i];
        Provider* p = node.provider;
        if (p->serves_held_value()) {
            out.values.push(p->cached.new_ref());
            continue;
        }
        args.clear();
        for (std::uint32_t a = 0; a < node.nargs; ++a) args.push_back(out.values[plan.args[node.args_begin + a]]);
        Ref made = call_provider(p->callable.get(), args.begin(), args.size());
        if (!made) return error_of_failed_call();
        if (p->meta.singleton) store_singleton(st, node.key, made.get(), trash);
        out.values.push(std::move(made));
    }

    // Assembly guard: every requested key must have a value by now.
    for (std::size_t i = 0; i < n; ++i) {
        if (out.requested[i] >= out.values.size()) return plan_missing_error(keys[i]);
    }
    return Unit{};
}

}  // namespace tarnik
