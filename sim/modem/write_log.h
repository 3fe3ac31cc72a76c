// The most recent register writes of a model, oldest first: a ring of fixed capacity that keeps the
// latest entries. Not locked: its owner guards it.
#pragma once

#include <algorithm>
#include <vector>

namespace sim::modem {

template <class Entry> class WriteLog {
public:
    explicit WriteLog(size_t capacity) : ring_(capacity) {}

    void Add(const Entry& entry)
    {
        if (ring_.empty())
            return;
        ring_[next_] = entry;
        next_ = (next_ + 1) % ring_.size();
        count_ = std::min(count_ + 1, ring_.size());
    }
    std::vector<Entry> Entries() const
    {
        std::vector<Entry> entries;
        entries.reserve(count_);
        for (size_t i = 0; i < count_; i++)
            entries.push_back(ring_[(next_ + ring_.size() - count_ + i) % ring_.size()]);
        return entries;
    }
    void Clear() { count_ = 0; }

private:
    std::vector<Entry> ring_;
    size_t next_ = 0;
    size_t count_ = 0;
};

} // namespace sim::modem
