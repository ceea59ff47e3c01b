// The open extended reads of a plug-in. The table owns each read; the handle given to the caller
// is the read's address, and a handle that is not in the table is never dereferenced.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace plugkit {

template <class Read> class HandleTable {
  public:
    intptr_t Add(std::unique_ptr<Read> read) {
        const auto handle = reinterpret_cast<intptr_t>(read.get());
        std::lock_guard guard(lock_);
        reads_[handle] = std::move(read);
        return handle;
    }

    // Runs work on the open read of handle under the table's lock; answers whether it was open.
    template <class F> bool With(intptr_t handle, F &&work) {
        std::lock_guard guard(lock_);
        const auto found = reads_.find(handle);
        if (found == reads_.end())
            return false;
        work(*found->second);
        return true;
    }

    // Takes the read out of the table, or null when the handle is not open.
    std::unique_ptr<Read> Take(intptr_t handle) {
        std::lock_guard guard(lock_);
        const auto found = reads_.find(handle);
        if (found == reads_.end())
            return nullptr;
        auto read = std::move(found->second);
        reads_.erase(found);
        return read;
    }

  private:
    std::mutex lock_;
    std::map<intptr_t, std::unique_ptr<Read>> reads_;
};

} // namespace plugkit
