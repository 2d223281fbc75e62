// The tv3m_* functions are C functions: no C++ exception may leave them,
// whether thrown by the host's own allocations or by a plug-in's code.
#pragma once

#include <cxxabi.h>

namespace tv3m {

// Runs `body` and answers its result, or `failure` when anything was thrown.
// A thread being cancelled still unwinds.
template <class R, class Body>
R guarded(R failure, Body&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return failure;
    }
}

template <class Body>
void guarded(Body&& body) {
    try {
        body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
}

} // namespace tv3m
