#include "OutputLink.h"

#include "RequestState.h"

void TOutputLink::GiveUp() {
    givenUp_ = true;
    UsedElsewhere = true;
    for (int tries = 0; tries < 20; ++tries) {
        if (calls_.try_lock()) {
            calls_.unlock();
            return;
        }
        WaitServicingSends(nullptr, 5);
    }
}
