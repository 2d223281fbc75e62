// SIGINT and SIGTERM noted instead of ending tarvel at once, so that a
// command can end its helpers in order and remove what it was writing.
#include "Tarvel.h"

#include <signal.h>

namespace tarvel {
namespace {

volatile sig_atomic_t gInterruptSignal = 0;

void noteInterrupt(int signal) { gInterruptSignal = signal; }

} // namespace

struct InterruptWatch::Saved {
    struct sigaction interrupt {}, terminate{};
};

InterruptWatch::InterruptWatch() : previous_(std::make_unique<Saved>()) {
    gInterruptSignal = 0;
    struct sigaction note {};
    note.sa_handler = noteInterrupt;
    sigemptyset(&note.sa_mask);
    // Without SA_RESTART: a pause between two polls ends at once.
    note.sa_flags = 0;
    ::sigaction(SIGINT, &note, &previous_->interrupt);
    ::sigaction(SIGTERM, &note, &previous_->terminate);
}

InterruptWatch::~InterruptWatch() {
    ::sigaction(SIGINT, &previous_->interrupt, nullptr);
    ::sigaction(SIGTERM, &previous_->terminate, nullptr);
}

int InterruptWatch::signal() const { return gInterruptSignal; }

void InterruptWatch::check() const {
    if (gInterruptSignal != 0) throw Interrupted{};
}

} // namespace tarvel
