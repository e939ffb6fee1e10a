// For tests only (the product never includes this): makes lock holders fail
// as they would when the system refuses them, so that callers' handling of a
// lock that cannot be taken can be exercised.
#pragma once

/// The next `count` holders made on the calling thread hold nothing and
/// report `error`. A count of 0 ends it.
void ZReadWriteLockFailNextHoldsForTesting(int error, unsigned count);
