// Puts the calling thread's exports in id mode for a scope: every terminal they
// take or report is an id, never a number that may name another terminal by the
// time it is used. The thread's former mode comes back at the end of the scope.
#pragma once

#include "ks318.h"

namespace ks318::web {

class AddressById {
public:
    AddressById() : previous_(kq_addressby(KQ_ADDRESS_BY_ID)) {}
    ~AddressById() { kq_addressby(previous_); }
    AddressById(const AddressById &) = delete;
    AddressById &operator=(const AddressById &) = delete;

private:
    const int previous_;
};

}  // namespace ks318::web
