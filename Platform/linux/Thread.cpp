#include "platform/Thread.h"

#include <pthread.h>

namespace platform {

void nameCurrentThread(const std::string& name) {
    // The kernel keeps 15 bytes and a terminating zero; a longer name is
    // refused whole, so cut it first.
    const std::string kept = name.substr(0, 15);
    ::pthread_setname_np(::pthread_self(), kept.c_str());
}

} // namespace platform
