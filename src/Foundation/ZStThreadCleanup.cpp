#include "Foundation/ZStThreadCleanup.h"

namespace {
thread_local ZStThreadCleanup* tTop = nullptr;
}

ZStThreadCleanup::ZStThreadCleanup(Routine routine, void* argument, bool execute)
    : routine_(routine), argument_(argument), previous_(tTop), execute_(execute) {
    tTop = this;
}

ZStThreadCleanup::~ZStThreadCleanup() {
    // Records end in reverse order, so this is the top; unlink it wherever it
    // is all the same, so a record that outlives a later one cannot leave a
    // dangling top behind.
    if (tTop == this) {
        tTop = previous_;
    } else {
        for (ZStThreadCleanup* r = tTop; r; r = r->previous_) {
            if (r->previous_ == this) {
                r->previous_ = previous_;
                break;
            }
        }
    }
    if (execute_ && routine_) routine_(argument_);
}

ZStThreadCleanup* ZStThreadCleanup::Top() { return tTop; }
