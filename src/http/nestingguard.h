#pragma once
// Keeps a handler from starting again inside its own wait. A request's wait runs a local event
// loop, so a click, a timer tick or a box can call the same handler before the first run is over.
// The first guard over a flag enters and holds the flag until it goes out of scope; a guard made
// while the flag is held does not enter, and its owner returns:
//
//     const NestingGuard guard(m_busy);
//     if (!guard.entered())
//         return;

namespace rostrel {

class [[nodiscard]] NestingGuard
{
public:
    explicit NestingGuard(bool& busy)
        : m_busy(busy)
        , m_entered(!busy)
    {
        m_busy = true;
    }
    ~NestingGuard()
    {
        if (m_entered)
            m_busy = false;
    }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

    bool entered() const { return m_entered; }

private:
    bool& m_busy;
    const bool m_entered;
};

} // namespace rostrel
