#include "core/state.h"

namespace tarnik {

namespace {

int visit_entry(Provider& p, visitproc visit, void* arg) {
    if (PyObject* o = p.callable.get()) {
        if (int r = visit(o, arg)) return r;
    }
    if (PyObject* o = p.cached.get()) return visit(o, arg);
    return 0;
}

void release_entry(Provider& p) {
    p.callable.reset();
    if (p.cached) p.cached.take().reset();
    p.free_deps();
}

}  // namespace

int ContainerState::traverse(visitproc visit, void* arg) {
    // Key texts are strings, which the collector does not track.
    if (int r = keys.for_each([&](KeySlot& k) { return visit_entry(k.base, visit, arg); })) return r;
    for (LayerEntry& e : entries) {
        if (int r = visit_entry(e.provider, visit, arg)) return r;
    }
    return 0;
}

void ContainerState::forget_operation() noexcept {
    keys.for_each([](KeySlot& k) {
        if (k.in_progress) k.in_progress = false;
        return 0;
    });
    gate.open();
}

void ContainerState::release_all() {
    keys.for_each([](KeySlot& k) {
        release_entry(k.base);
        return 0;
    });
    for (LayerEntry& e : entries) release_entry(e.provider);
    keys.for_each([](KeySlot& k) {
        k.text.reset();
        return 0;
    });
    std::vector<LayerEntry>().swap(entries);
    std::vector<std::uint32_t>().swap(layer_start);
    KeyTable().swap(keys);
}

}  // namespace tarnik
