// References that an operation drops from the state.
//
// They are collected here while the container is locked and released when
// the Trash goes, after the lock has been released, so that a finalizer they
// trigger may call back into the container.
#pragma once

#include "records.h"

#include <memory>
#include <optional>
#include <vector>

namespace tarnik {

class Trash {
public:
    // What was dropped; made on the first drop, so that an operation that
    // drops nothing pays one test.
    struct Contents {
        std::optional<Provider> provider;  // a replaced entry
        std::optional<ProviderMap> layer;  // a popped layer
        std::vector<Ref> values;           // replaced cached values
    };

    std::optional<Provider>& provider() { return contents().provider; }
    std::optional<ProviderMap>& layer() { return contents().layer; }
    void drop_value(Ref v) {
        if (v) contents().values.push_back(std::move(v));
    }

private:
    Contents& contents() {
        if (!contents_) contents_ = std::make_unique<Contents>();
        return *contents_;
    }

    std::unique_ptr<Contents> contents_;
};

}  // namespace tarnik
