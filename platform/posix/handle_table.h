// A fixed table of the open objects of one kind (event sources, registry keys, service
// handles), each known by a handle: its slot's index plus one, so that 0 stays the null
// handle. Values are copied in and out under the table's lock, so nothing points into the
// table once the lock is let go. Safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <mutex>

#include "platform/types.h"

template <typename Value, std::size_t Size>
struct HandleTable {
    std::array<Value, Size> values;
    std::array<bool, Size> used;
    std::mutex lock;
};

// Stores `value` in a free slot: its handle, or 0 when every slot is taken.
template <typename Value, std::size_t Size>
OsHandle OpenSlot(HandleTable<Value, Size>& table, const Value& value) {
    const std::lock_guard<std::mutex> guard(table.lock);
    for (std::size_t i = 0; i < Size; ++i) {
        if (!table.used[i]) {
            table.used[i] = true;
            table.values[i] = value;
            return i + 1;
        }
    }
    return 0;
}

// The value of an open handle into *value; false for a handle that is not open.
template <typename Value, std::size_t Size>
bool ReadSlot(HandleTable<Value, Size>& table, OsHandle handle, Value* value) {
    const std::lock_guard<std::mutex> guard(table.lock);
    if (handle == 0 || handle > Size || !table.used[handle - 1]) {
        return false;
    }
    *value = table.values[handle - 1];
    return true;
}

// Frees the handle's slot; a handle that is not open is ignored.
template <typename Value, std::size_t Size>
void CloseSlot(HandleTable<Value, Size>& table, OsHandle handle) {
    const std::lock_guard<std::mutex> guard(table.lock);
    if (handle != 0 && handle <= Size) {
        table.used[handle - 1] = false;
    }
}
